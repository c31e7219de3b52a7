// The deployment packer against a real program: the probe is packed, run, and reports
// what it finds in itself.
#include "app/EmbeddedConfigBlock.h"
#include "app/ResourceIds.h"
#include "engine/core/QMd5.h"
#include "engine/core/TRefObject.h"
#include "engine/piece/TTorrent.h"
#include "engine/piece/TTorrentWriter.h"

#include "support/ProgramRun.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <filesystem>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using testsupport::FileExists;
using testsupport::ProgramResult;
using testsupport::ReadFile;
using testsupport::RunProgram;
using testsupport::TempDir;
using testsupport::WriteFile;

const std::string kProbe = BRISKLANE_CONFIG_PROBE;
const std::string kPacker = BRISKLANE_PACK_TOOL;

// The probe's "key=value" lines.
struct Report {
    std::vector<std::pair<std::string, std::string>> lines;

    std::string operator[](const std::string& key) const {
        for (const auto& [k, v] : lines) {
            if (k == key)
                return v;
        }
        return "<missing " + key + ">";
    }
    std::vector<std::string> All(const std::string& key) const {
        std::vector<std::string> out;
        for (const auto& [k, v] : lines) {
            if (k == key)
                out.push_back(v);
        }
        return out;
    }
};

Report Parse(const std::string& out) {
    Report r;
    size_t at = 0;
    while (at < out.size()) {
        size_t end = out.find('\n', at);
        if (end == std::string::npos)
            end = out.size();
        const std::string line = out.substr(at, end - at);
        const size_t eq = line.find('=');
        if (eq != std::string::npos)
            r.lines.emplace_back(line.substr(0, eq), line.substr(eq + 1));
        at = end + 1;
    }
    return r;
}

// What the statistics configuration of the base deployment must read.
const char kExpectedIni[] = "[SubmitEventDownload]\n"
                            "SubmitUrl=http://127.0.0.1:8080/launchersubmit/eventInfoSubmit\n"
                            "InputDataKeyWord=DVersion;GameID;GVersion;AppVersion\n"
                            "SubmitDataKeyWord=MachId;Mac;OS\n"
                            "\n"
                            "[SubmitEventDownloadSeveral]\n"
                            "SubmitUrl=http://127.0.0.1:8080/launchersubmit/eventListSubmit\n"
                            "SubmitUrl1=http://127.0.0.2:8080/launchersubmit/eventListSubmit\n"
                            "SubmitUrl2=http://127.0.0.3:8080/launchersubmit/eventListSubmit\n"
                            "InputDataKeyWord=DVersion;GameID;GVersion;AppVersion\n"
                            "SubmitDataKeyWord=MachId;Mac;OS\n"
                            "\n"
                            "[OsTypeCode]\n"
                            "WIN_XP_SP2=512\n"
                            "WIN_XP_SP3=513\n"
                            "WIN_2003_SP0=520\n"
                            "WIN_2003_SP1=521\n"
                            "WIN_2003_SP2=522\n"
                            "WIN_VISTA_SP0=600\n"
                            "WIN_VISTA_SP1=601\n"
                            "WIN_VISTA_SP2=602\n"
                            "WIN_7_SP0=610\n"
                            "WIN_7_SP1=611\n"
                            "WIN_8_SP0=620\n"
                            "WIN_8_SP1=621\n"
                            "WIN_8.1_SP0=630\n"
                            "Other=999\n";

class PackerTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* sub : {"pkg", "out", "log", "release"})
            std::filesystem::create_directories(dir_.file(sub));
        const size_t sizes[4] = {40000, 70001, 3 * 16384, 1};
        for (int i = 0; i < 4; ++i) {
            std::string data;
            for (size_t k = 0; k < sizes[i]; ++k)
                data.push_back(static_cast<char>((k * 31 + static_cast<size_t>(i) * 17) >> 3));
            contents_[i] = data;
            names_[i] = "part" + std::to_string(i) + (i == 0 ? ".exe" : ".bin");
            WriteFile(dir_.file("pkg/" + names_[i]), data);
        }
        // File 2 comes with size, digest and torrent instead of a local copy.
        TTorrentWriter writer;
        writer.SetName(names_[2]);
        writer.SetPieceLength(16384);
        writer.SetTrackers({"http://127.0.0.1:7000/announce"});
        std::string torrent;
        ASSERT_TRUE(writer.Build(contents_[2], torrent));
        WriteFile(dir_.file("pkg/given.torrent"), torrent);
    }

    Json::Value Base() const {
        Json::Value d;
        d["resourceList"] = "https://127.0.0.1:8443/downloader/list.xml";
        for (int i = 0; i < 4; ++i) {
            Json::Value f;
            f["url"] = "http://127.0.0.1:8080/pkg/" + names_[i];
            f["name"] = names_[i];
            if (i == 2) {
                f["size"] = Json::UInt64(contents_[2].size());
                f["md5"] = Md5Hex(contents_[2].data(), contents_[2].size());
                f["torrent"] = "pkg/given.torrent";
            } else {
                f["path"] = "pkg/" + names_[i];
            }
            d["files"].append(f);
        }
        d["trackers"].append("http://127.0.0.1:6969/announce");
        d["trackers"].append("udp://127.0.0.1:6969");
        d["pieceLength"] = 32768;
        d["statistics"]["submitUrls"].append("http://127.0.0.1:8080/launchersubmit/eventInfoSubmit");
        for (const char* host : {"127.0.0.1", "127.0.0.2", "127.0.0.3"})
            d["statistics"]["batchSubmitUrls"].append(std::string("http://") + host +
                                                      ":8080/launchersubmit/eventListSubmit");
        d["version"] = "3.1.4.15";
        return d;
    }

    std::string Write(const Json::Value& d, const std::string& name = "deploy.json") const {
        Json::StreamWriterBuilder b;
        WriteFile(dir_.file(name), Json::writeString(b, d));
        return dir_.file(name);
    }

    ProgramResult Pack(const std::string& deployment, const std::string& in, const std::string& out) const {
        return RunProgram({kPacker, "--deployment", deployment, "--program", in, "--output", out},
                          dir_.file("log"));
    }

    Report Probe(const std::string& program, bool release = false) const {
        std::vector<std::string> argv = {program};
        if (release) {
            argv.push_back("--release");
            argv.push_back(dir_.file("release"));
        }
        const ProgramResult r = RunProgram(argv, dir_.file("log"));
        EXPECT_EQ(r.exit, 0) << r.err;
        return Parse(r.out);
    }

    TempDir dir_;
    std::string contents_[4];
    std::string names_[4];
};

TEST_F(PackerTest, UnpackedProgramReportsTheShippedValues) {
    const Report r = Probe(kProbe);
    EXPECT_EQ(r["resourceList"], "https://res.brisklane.example/downloader/vmrResourceList20201127.xml");
    EXPECT_EQ(r["url0"], "http://dl.brisklane.example/orlanta_setup_10.1.1.7/orlanta_setup_10.1.1.7.exe");
    EXPECT_EQ(
        r["url3"],
        "http://dl.brisklane.example/Orlanta_Patch_10_1_1_6To10_1_1_7/Orlanta_Patch_10_1_1_6To10_1_1_7.exe");
    EXPECT_EQ(r["name2"], "Orlanta10.1.1.701.cab");
    EXPECT_EQ(r["size2"], "3221225472");
    EXPECT_EQ(r["md5_1"], "1784ecb276cd2548c312097dcf60127e");
    EXPECT_EQ(r["productKey"], "4fc4be0e5a4c8af692263ae9d1c8fa46");
    EXPECT_EQ(r["archive"], "ok");
    EXPECT_TRUE(r.All("resource").empty());
    EXPECT_EQ(r["version"], "1.0.3");
}

TEST_F(PackerTest, PackedProgramReportsThePackedValues) {
    Json::Value d = Base();
    // The longest URL a slot holds arrives whole.
    const std::string longUrl = "http://127.0.0.1:8080/" + std::string(3069 - 22, 'u');
    d["files"][3]["url"] = longUrl;
    const std::string before = ReadFile(kProbe);
    const std::string out = dir_.file("out/packed");
    const ProgramResult packed = Pack(Write(d), kProbe, out);
    ASSERT_EQ(packed.exit, 0) << packed.err;
    EXPECT_EQ(ReadFile(kProbe), before);
    struct stat in {
    }, st{};
    ASSERT_EQ(::stat(kProbe.c_str(), &in), 0);
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, in.st_mode & 07777);

    const Report r = Probe(out, true);
    EXPECT_EQ(r["resourceList"], "https://127.0.0.1:8443/downloader/list.xml");
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const std::string n = std::to_string(i);
        EXPECT_EQ(r["url" + n], i == 3 ? longUrl : "http://127.0.0.1:8080/pkg/" + names_[i]);
        EXPECT_EQ(r["name" + n], names_[i]);
        EXPECT_EQ(r["size" + n], std::to_string(contents_[i].size()));
        EXPECT_EQ(r["md5_" + n], Md5Hex(contents_[i].data(), contents_[i].size()));
    }
    EXPECT_EQ(r["productKey"], Md5Hex(contents_[0].data(), contents_[0].size()));
    EXPECT_EQ(r["archive"], "ok");
    EXPECT_EQ(r["version"], "3.1.4.15");

    const std::vector<std::string> resources = r.All("resource");
    ASSERT_EQ(resources.size(), 6u);
    const std::string ini = kExpectedIni;
    const std::string iniBase64 = embedded::EmbeddedConfigBlock::EncodeText(ini);
    EXPECT_EQ(resources[0], std::string(ResourceIds::kStatisticsType) + " " +
                                std::to_string(ResourceIds::kStatistics) + " 2052 " +
                                std::to_string(iniBase64.size()) + " " +
                                Md5Hex(iniBase64.data(), iniBase64.size()));
    EXPECT_EQ(resources[5], "VERSION 1 2052 8 " + Md5Hex("3.1.4.15", 8));

    // Released as the controller does: the statistics configuration decoded, the
    // torrents raw under their file's digest.
    EXPECT_EQ(r[std::string("release ") + ResourceIds::kStatisticsType], "0");
    EXPECT_EQ(ReadFile(dir_.file("release/dataupload.vedare")), ini);
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const std::string torrentName =
            std::string(ResourceIds::kTorrentType) + " " + std::to_string(ResourceIds::Torrent(i));
        EXPECT_EQ(r["release " + torrentName], "0");
        const std::string md5 = Md5Hex(contents_[i].data(), contents_[i].size());
        const std::string torrent = ReadFile(dir_.file("release/" + md5));
        EXPECT_EQ(resources[1 + static_cast<size_t>(i)].substr(0, 17), torrentName + " 2052 ");
        TRef<TTorrent> t = TRef<TTorrent>::Adopt(new TTorrent);
        TTorrentTarget target;
        target.folder = dir_.file("release");
        target.createDirectories = false;
        t->SetTorrentData(torrent);
        ASSERT_TRUE(t->Load(target));
        EXPECT_EQ(t->FileSet().totalSize, contents_[i].size());
        EXPECT_EQ(t->FileSet().name, names_[i]);
        if (i == 2) {
            EXPECT_EQ(torrent, ReadFile(dir_.file("pkg/given.torrent")));
        } else {
            EXPECT_EQ(t->FileSet().pieceLength, 32768);
            EXPECT_EQ(t->Trackers(),
                      (std::vector<std::string>{"http://127.0.0.1:6969/announce", "udp://127.0.0.1:6969"}));
        }
    }
}

TEST_F(PackerTest, RepackingReplacesTheOldConfiguration) {
    const std::string first = dir_.file("out/first");
    ASSERT_EQ(Pack(Write(Base()), kProbe, first).exit, 0);

    Json::Value d = Base();
    d.removeMember("version");
    d["resourceList"] = "https://127.0.0.9/other.xml";
    d["files"][0]["name"] = "renamed.exe";
    const std::string second = Write(d, "second.json");
    const std::string fromPacked = dir_.file("out/from-packed");
    const std::string fromBuilt = dir_.file("out/from-built");
    ASSERT_EQ(Pack(second, first, fromPacked).exit, 0);
    ASSERT_EQ(Pack(second, kProbe, fromBuilt).exit, 0);
    // Nothing of the first configuration is left: the result is what packing the
    // program as built gives.
    EXPECT_EQ(ReadFile(fromPacked), ReadFile(fromBuilt));

    const Report r = Probe(fromPacked);
    EXPECT_EQ(r["resourceList"], "https://127.0.0.9/other.xml");
    EXPECT_EQ(r["name0"], "renamed.exe");
    EXPECT_EQ(r["version"], "1.0.3");
    EXPECT_EQ(r.All("resource").size(), 5u);
}

TEST_F(PackerTest, DamagedArchiveIsReportedNotCrashedOn) {
    const std::string packed = dir_.file("out/packed");
    ASSERT_EQ(Pack(Write(Base()), kProbe, packed).exit, 0);
    const std::string good = ReadFile(packed);
    const size_t trailer = good.size() - 32;
    struct Case {
        const char* what;
        std::function<void(std::string&)> damage;
    } cases[] = {
        {"a flipped byte", [](std::string& f) { f[f.size() - 200] ^= 0x08; }},
        {"bytes lost", [](std::string& f) { f.erase(f.size() - 300, 64); }},
        {"a huge length field",
         [trailer](std::string& f) {
             for (int k = 0; k < 8; ++k)
                 f[trailer + 16 + static_cast<size_t>(k)] = k == 7 ? '\x7f' : '\xff';
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string bytes = good;
        c.damage(bytes);
        const std::string program = dir_.file("out/damaged");
        WriteFile(program, bytes);
        ASSERT_EQ(::chmod(program.c_str(), 0755), 0);

        const Report r = Probe(program, true);
        EXPECT_EQ(r["archive"], "damaged");
        EXPECT_NE(r["archiveError"].find("resource archive"), std::string::npos) << r["archiveError"];
        EXPECT_TRUE(r.All("resource").empty());
        EXPECT_EQ(r["version"], "1.0.3");
        EXPECT_EQ(r[std::string("release ") + ResourceIds::kStatisticsType], "-1");
        // The block is not part of the archive and still holds the packed values.
        EXPECT_EQ(r["name1"], names_[1]);

        const ProgramResult refused = Pack(dir_.file("deploy.json"), program, dir_.file("out/repacked"));
        EXPECT_EQ(refused.exit, 1);
        EXPECT_NE(refused.err.find("resource archive"), std::string::npos) << refused.err;
        EXPECT_FALSE(FileExists(dir_.file("out/repacked")));
    }
}

TEST_F(PackerTest, RefusalsNameTheProblemAndWriteNothing) {
    const std::string md5of2 = Md5Hex(contents_[2].data(), contents_[2].size());
    struct Case {
        const char* what;
        std::function<void(Json::Value&)> change;
        const char* message;
    } cases[] = {
        {"unknown top-level key", [](Json::Value& d) { d["resourceLists"] = "x"; },
         "unknown key \"resourceLists\""},
        {"unknown file key", [](Json::Value& d) { d["files"][1]["sizes"] = 1; },
         "files[1]: unknown key \"sizes\""},
        {"unknown statistics key", [](Json::Value& d) { d["statistics"]["url"] = "x"; },
         "statistics: unknown key \"url\""},
        {"missing resource list", [](Json::Value& d) { d.removeMember("resourceList"); },
         "\"resourceList\" is missing"},
        {"missing statistics", [](Json::Value& d) { d.removeMember("statistics"); },
         "\"statistics\" is missing"},
        {"missing batch addresses", [](Json::Value& d) { d["statistics"].removeMember("batchSubmitUrls"); },
         "\"batchSubmitUrls\" is missing"},
        {"three files",
         [](Json::Value& d) {
             Json::Value removed;
             d["files"].removeIndex(3, &removed);
         },
         "files: must be an array of exactly 4"},
        {"a file that is no object", [](Json::Value& d) { d["files"][0] = "part0.exe"; },
         "files[0]: must be an object"},
        {"resource list of the wrong type", [](Json::Value& d) { d["resourceList"] = 5; },
         "resourceList: must be a string"},
        {"piece length as text", [](Json::Value& d) { d["pieceLength"] = "32768"; }, "pieceLength: must be"},
        {"piece length not a power of two", [](Json::Value& d) { d["pieceLength"] = 30000; },
         "pieceLength: must be"},
        {"trackers not a list", [](Json::Value& d) { d["trackers"] = "http://127.0.0.1/"; },
         "trackers: must be an array"},
        {"missing local file", [](Json::Value& d) { d["files"][1]["path"] = "pkg/none.bin"; },
         "files[1].path: cannot read"},
        {"missing torrent file", [](Json::Value& d) { d["files"][2]["torrent"] = "pkg/none.torrent"; },
         "files[2].torrent: cannot read"},
        {"a torrent of another size", [](Json::Value& d) { d["files"][2]["size"] = 49153; },
         "files[2].torrent:"},
        {"a torrent that is none", [](Json::Value& d) { d["files"][2]["torrent"] = "pkg/part1.bin"; },
         "is not a torrent"},
        {"path and size together", [](Json::Value& d) { d["files"][0]["size"] = 1; },
         "files[0]: give either \"path\" or all of"},
        {"size and digest without torrent", [](Json::Value& d) { d["files"][2].removeMember("torrent"); },
         "files[2]: give either"},
        {"size zero", [](Json::Value& d) { d["files"][2]["size"] = 0; }, "files[2].size:"},
        {"negative size", [](Json::Value& d) { d["files"][2]["size"] = -5; }, "files[2].size:"},
        {"upper-case digest",
         [md5of2](Json::Value& d) { d["files"][2]["md5"] = "ABCDEF" + md5of2.substr(6); },
         "files[2].md5: must be 32 lower-case"},
        {"short digest", [md5of2](Json::Value& d) { d["files"][2]["md5"] = md5of2.substr(1); },
         "files[2].md5:"},
        {"name longer than a slot", [](Json::Value& d) { d["files"][1]["name"] = std::string(3070, 'n'); },
         "files[1].name: 3070 bytes, at most 3069"},
        {"URL longer than a slot",
         [](Json::Value& d) { d["files"][3]["url"] = "http://127.0.0.1/" + std::string(3070, 'u'); },
         "files[3].url:"},
        {"resource list longer than a slot",
         [](Json::Value& d) { d["resourceList"] = std::string(4000, 'r'); }, "resourceList:"},
        {"name with a folder", [](Json::Value& d) { d["files"][1]["name"] = "sub/part1.bin"; },
         "files[1].name: must be a plain file name"},
        {"the same name twice", [this](Json::Value& d) { d["files"][3]["name"] = names_[0]; },
         "files[3].name: the same as files[0].name"},
        {"a URL with a line break", [](Json::Value& d) { d["files"][0]["url"] = "http://127.0.0.1/\nx"; },
         "files[0].url: must not contain control characters"},
        {"a statistics address too long",
         [](Json::Value& d) {
             d["statistics"]["submitUrls"][0] = "http://127.0.0.1/" + std::string(250, 's');
         },
         "statistics.submitUrls[0]:"},
        {"no statistics address", [](Json::Value& d) { d["statistics"]["submitUrls"] = Json::arrayValue; },
         "statistics.submitUrls: needs at least one"},
        {"three-part version", [](Json::Value& d) { d["version"] = "1.2.3"; }, "version: must be"},
        {"version part too large", [](Json::Value& d) { d["version"] = "1.2.3.65536"; }, "version: must be"},
        {"version as number", [](Json::Value& d) { d["version"] = 1; }, "version: must be"},
        {"an empty local file", [](Json::Value& d) { d["files"][3]["path"] = "pkg/empty"; }, "is empty"},
        {"a folder as local file", [](Json::Value& d) { d["files"][3]["path"] = "pkg"; }, "is not a file"},
    };
    WriteFile(dir_.file("pkg/empty"), "");
    const std::string out = dir_.file("out/packed");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Json::Value d = Base();
        c.change(d);
        const ProgramResult r = Pack(Write(d), kProbe, out);
        EXPECT_EQ(r.exit, 1);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_TRUE(std::filesystem::is_empty(dir_.file("out")));
    }
}

TEST_F(PackerTest, RefusedFilesAndCommandLines) {
    const std::string deployment = Write(Base());
    const std::string out = dir_.file("out/packed");
    struct Case {
        const char* what;
        std::vector<std::string> argv;
        int exit;
        const char* message;
    } cases[] = {
        {"not JSON",
         {"--deployment", dir_.file("pkg/part1.bin"), "--program", kProbe, "--output", out},
         1,
         "not valid JSON"},
        {"missing deployment",
         {"--deployment", dir_.file("none.json"), "--program", kProbe, "--output", out},
         1,
         "--deployment: cannot read"},
        {"missing program",
         {"--deployment", deployment, "--program", dir_.file("none"), "--output", out},
         1,
         "--program: cannot read"},
        {"a program without block",
         {"--deployment", deployment, "--program", deployment, "--output", out},
         1,
         "has no configuration block"},
        {"an output folder that is missing",
         {"--deployment", deployment, "--program", kProbe, "--output", dir_.file("none/packed")},
         1,
         "--output: cannot write"},
        {"no output", {"--deployment", deployment, "--program", kProbe}, 2, "are all required"},
        {"unknown option",
         {"--deployment", deployment, "--program", kProbe, "--output", out, "--force"},
         2,
         "unknown argument --force"},
        {"option without value",
         {"--deployment", deployment, "--program", kProbe, "--output"},
         2,
         "needs a value"},
        {"option twice",
         {"--deployment", deployment, "--deployment", deployment, "--program", kProbe},
         2,
         "given twice"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> argv = {kPacker};
        argv.insert(argv.end(), c.argv.begin(), c.argv.end());
        const ProgramResult r = RunProgram(argv, dir_.file("log"));
        EXPECT_EQ(r.exit, c.exit);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_TRUE(std::filesystem::is_empty(dir_.file("out")));
    }

    // JSON that a lenient reader would take: a duplicate key, a trailing comma.
    const std::string text = ReadFile(deployment);
    const std::string duplicate = "{\"version\": \"1.1.1.1\"," + text.substr(text.find('{') + 1);
    WriteFile(dir_.file("dup.json"), duplicate);
    ProgramResult r = Pack(dir_.file("dup.json"), kProbe, out);
    EXPECT_EQ(r.exit, 1);
    EXPECT_NE(r.err.find("not valid JSON"), std::string::npos) << r.err;
    WriteFile(dir_.file("comma.json"), text.substr(0, text.rfind('}')) + ",}");
    r = Pack(dir_.file("comma.json"), kProbe, out);
    EXPECT_EQ(r.exit, 1);
    EXPECT_TRUE(std::filesystem::is_empty(dir_.file("out")));
}

} // namespace
