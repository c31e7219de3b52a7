#include "tools/pack/StatisticsIni.h"

namespace {

void AppendSection(std::string& out, const char* name, const std::vector<std::string>& urls) {
    out += "[";
    out += name;
    out += "]\n";
    for (size_t i = 0; i < urls.size(); ++i)
        out += "SubmitUrl" + (i == 0 ? std::string() : std::to_string(i)) + "=" + urls[i] + "\n";
    out += "InputDataKeyWord=DVersion;GameID;GVersion;AppVersion\n";
    out += "SubmitDataKeyWord=MachId;Mac;OS\n";
}

} // namespace

std::string StatisticsIni::Build(const std::vector<std::string>& submitUrls,
                                 const std::vector<std::string>& batchSubmitUrls) {
    std::string out;
    AppendSection(out, "SubmitEventDownload", submitUrls);
    out += "\n";
    AppendSection(out, "SubmitEventDownloadSeveral", batchSubmitUrls);
    out += "\n[OsTypeCode]\n";
    static const char* const kOsCodes[][2] = {
        {"WIN_XP_SP2", "512"},   {"WIN_XP_SP3", "513"},    {"WIN_2003_SP0", "520"},  {"WIN_2003_SP1", "521"},
        {"WIN_2003_SP2", "522"}, {"WIN_VISTA_SP0", "600"}, {"WIN_VISTA_SP1", "601"}, {"WIN_VISTA_SP2", "602"},
        {"WIN_7_SP0", "610"},    {"WIN_7_SP1", "611"},     {"WIN_8_SP0", "620"},     {"WIN_8_SP1", "621"},
        {"WIN_8.1_SP0", "630"},  {"Other", "999"},
    };
    for (const auto& code : kOsCodes)
        out += std::string(code[0]) + "=" + code[1] + "\n";
    return out;
}
