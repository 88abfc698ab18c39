// bench_compress: compresses files into a level-2 archive and reports sizes and the
// time spent compressing. Used by bench/encoder_bench.sh.
//
//   bench_compress [-m 5|6|7] [-l level] [-t threads] [-o archive.lzh] file...
//
// Each file becomes a member under its relative path; the output, when asked for,
// lets the LHA peers check what was written. Threads: 0 (the default) uses one per
// processor.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "lzh_writer.h"

namespace {

std::vector<uint8_t> ReadFile(const char *path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::vector<uint8_t> data(in ? static_cast<size_t>(in.tellg()) : 0);
    in.seekg(0);
    if (!in || !in.read(reinterpret_cast<char *>(data.data()),
                        static_cast<std::streamsize>(data.size()))) {
        std::fprintf(stderr, "bench_compress: cannot read %s\n", path);
        std::exit(2);
    }
    return data;
}

lzhsfx::MemberInfo InfoFor(const std::string &path) {
    lzhsfx::MemberInfo info;
    size_t start = 0;
    for (size_t slash; (slash = path.find('/', start)) != std::string::npos; start = slash + 1) {
        const std::string part = path.substr(start, slash - start);
        if (!part.empty() && part != "." && part != "..") {
            info.directory.push_back(part);
        }
    }
    info.name = path.substr(start);
    info.time = 1700000000;
    return info;
}

} // namespace

int main(int argc, char **argv) {
    lzhsfx::Method method = lzhsfx::Method::kLh7;
    int level = lzhsfx::kDefaultLevel;
    int threads = 0;
    const char *output = nullptr;
    int arg = 1;
    for (; arg + 1 < argc && argv[arg][0] == '-'; arg += 2) {
        if (std::strcmp(argv[arg], "-m") == 0) {
            const int m = std::atoi(argv[arg + 1]);
            method = m == 5   ? lzhsfx::Method::kLh5
                     : m == 6 ? lzhsfx::Method::kLh6
                              : lzhsfx::Method::kLh7;
        } else if (std::strcmp(argv[arg], "-l") == 0) {
            level = std::atoi(argv[arg + 1]);
        } else if (std::strcmp(argv[arg], "-t") == 0) {
            threads = std::atoi(argv[arg + 1]);
        } else if (std::strcmp(argv[arg], "-o") == 0) {
            output = argv[arg + 1];
        } else {
            break;
        }
    }
    if (arg >= argc) {
        std::fprintf(stderr, "usage: bench_compress [-m 5|6|7] [-l level] [-t threads] "
                             "[-o out.lzh] file...\n");
        return 2;
    }

    std::vector<std::vector<uint8_t>> contents;
    std::vector<lzhsfx::FileData> files;
    uint64_t in_bytes = 0;
    for (; arg < argc; ++arg) {
        contents.push_back(ReadFile(argv[arg]));
        in_bytes += contents.back().size();
    }
    for (size_t i = 0; i < contents.size(); ++i) {
        files.push_back(
            {InfoFor(argv[argc - contents.size() + i]), contents[i].data(), contents[i].size()});
    }
    lzhsfx::LzhWriter writer;
    const auto start = std::chrono::steady_clock::now();
    uint64_t packed_bytes = 0;
    for (const lzhsfx::MemberResult &result : writer.AddFiles(files, method, level, threads)) {
        packed_bytes += result.packed_size;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::vector<uint8_t> archive = writer.Finish();
    if (output != nullptr) {
        std::ofstream out(output, std::ios::binary);
        out.write(reinterpret_cast<const char *>(archive.data()),
                  static_cast<std::streamsize>(archive.size()));
        if (!out) {
            std::fprintf(stderr, "bench_compress: cannot write %s\n", output);
            return 2;
        }
    }
    std::printf("input %llu packed %llu archive %zu seconds %.3f MB/s %.2f\n",
                static_cast<unsigned long long>(in_bytes),
                static_cast<unsigned long long>(packed_bytes), archive.size(), seconds,
                seconds > 0 ? in_bytes / seconds / 1e6 : 0.0);
    return 0;
}
