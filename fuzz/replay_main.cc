// Runs every file of the given corpus directories (and any files named) once
// through the fuzz target it is linked with, in name order. Without libFuzzer
// this replays the saved inputs in ordinary and sanitizer builds.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv)
{
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        if (!fs::exists(argv[i])) {
            std::fprintf(stderr, "replay: %s does not exist\n", argv[i]);
            return 1;
        }
        if (!fs::is_directory(argv[i]))
            files.emplace_back(argv[i]);
        else
            for (const auto& entry : fs::directory_iterator(argv[i]))
                files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (const auto& path : files) {
        std::ifstream in(path, std::ios::binary);
        std::vector<char> content{std::istreambuf_iterator<char>(in), {}};
        // An exactly-sized copy, so that reads past the input are caught.
        std::unique_ptr<uint8_t[]> bytes(new uint8_t[content.size()]);
        std::copy(content.begin(), content.end(), bytes.get());
        std::fprintf(stderr, "replay: %s (%zu bytes)\n", path.c_str(), content.size());
        LLVMFuzzerTestOneInput(bytes.get(), content.size());
    }
    std::fprintf(stderr, "replay: %zu inputs, no finding\n", files.size());
    return files.empty() ? 1 : 0;
}
