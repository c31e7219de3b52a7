// Times the engine's digests over one file, read with read() in 1 MiB blocks the way
// the piece store and the package check read data. scripts/bench-hash.sh runs it
// beside the system's digest tools on the same file.
//
//   hash_bench [--algo sha1|sha1-portable|md5|adler32|all] [--passes N] FILE
//
// Prints one line per algorithm: name, best seconds, MB/s (10^6 bytes), digest.

#include "engine/core/QAdler32.h"
#include "engine/core/QMd5.h"
#include "engine/core/QSha1.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr size_t kBlock = 1 << 20;

std::string Hex(const uint8_t* p, size_t n) {
    static const char kHex[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += kHex[p[i] >> 4];
        s += kHex[p[i] & 15];
    }
    return s;
}

struct Hasher {
    std::function<void()> start;
    std::function<void(const uint8_t*, size_t)> feed;
    std::function<std::string()> finish;
};

Hasher Sha1Hasher(Sha1Engine engine) {
    auto c = std::make_shared<Sha1Context>();
    return {[c] { c->Reset(); }, [c, engine](const uint8_t* p, size_t n) { c->Input(p, n, engine); },
            [c, engine] {
                uint8_t d[kSha1DigestSize];
                c->Result(d, engine);
                return Hex(d, sizeof(d));
            }};
}

Hasher Md5Hasher() {
    auto c = std::make_shared<Md5Context>();
    return {[c] { c->Init(); }, [c](const uint8_t* p, size_t n) { c->Update(p, n); },
            [c] {
                uint8_t d[kMd5DigestSize];
                c->Final(d);
                return Md5ToHex(d);
            }};
}

Hasher AdlerHasher() {
    auto v = std::make_shared<uint32_t>(1);
    return {[v] { *v = 1; }, [v](const uint8_t* p, size_t n) { *v = Adler32(*v, p, n); },
            [v] {
                char text[9];
                std::snprintf(text, sizeof(text), "%08x", *v);
                return std::string(text);
            }};
}

// One pass over the file; returns false on a read error.
bool Pass(const char* path, uint8_t* buffer, Hasher& h, double& seconds, uint64_t& bytes,
          std::string& digest) {
    const auto t0 = std::chrono::steady_clock::now();
    const int fd = open(path, O_RDONLY);
    if (fd < 0)
        return false;
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    h.start();
    bytes = 0;
    for (;;) {
        const ssize_t n = read(fd, buffer, kBlock);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            close(fd);
            return false;
        }
        if (n == 0)
            break;
        h.feed(buffer, size_t(n));
        bytes += uint64_t(n);
    }
    close(fd);
    digest = h.finish();
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return true;
}

int Usage() {
    std::fprintf(stderr, "usage: hash_bench [--algo sha1|sha1-portable|md5|adler32|all] [--passes N] FILE\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string algo = "all";
    int passes = 3;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--algo" && i + 1 < argc)
            algo = argv[++i];
        else if (a == "--passes" && i + 1 < argc)
            passes = std::atoi(argv[++i]);
        else if (!a.empty() && a[0] != '-' && !path)
            path = argv[i];
        else
            return Usage();
    }
    if (!path || passes < 1)
        return Usage();

    struct Named {
        const char* name;
        Hasher hasher;
    };
    std::vector<Named> todo;
    if (algo == "sha1" || algo == "all")
        todo.push_back(
            {Sha1AcceleratedAvailable() ? "sha1" : "sha1(portable)", Sha1Hasher(Sha1Engine::Auto)});
    if (algo == "sha1-portable" || algo == "all")
        todo.push_back({"sha1-portable", Sha1Hasher(Sha1Engine::Portable)});
    if (algo == "md5" || algo == "all")
        todo.push_back({"md5", Md5Hasher()});
    if (algo == "adler32" || algo == "all")
        todo.push_back({"adler32", AdlerHasher()});
    if (todo.empty())
        return Usage();

    std::unique_ptr<uint8_t, decltype(&std::free)> buffer(
        static_cast<uint8_t*>(std::aligned_alloc(4096, kBlock)), &std::free);
    for (Named& t : todo) {
        double best = 0;
        uint64_t bytes = 0;
        std::string digest;
        for (int p = 0; p < passes; ++p) {
            double seconds = 0;
            if (!Pass(path, buffer.get(), t.hasher, seconds, bytes, digest)) {
                std::fprintf(stderr, "hash_bench: cannot read %s: %s\n", path, std::strerror(errno));
                return 1;
            }
            if (p == 0 || seconds < best)
                best = seconds;
        }
        std::printf("%s %.6f %.1f %s\n", t.name, best, best > 0 ? double(bytes) / 1e6 / best : 0.0,
                    digest.c_str());
        std::fflush(stdout);
    }
    return 0;
}
