// Runs every file of the given corpus directories (and any files named) once
// through the fuzz target it is linked with, in name order, each from a copy
// of exactly its size. Without libFuzzer this replays the saved inputs in
// ordinary and sanitizer builds.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv)
{
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i)
        if (!fs::is_directory(argv[i]))
            files.emplace_back(argv[i]);
        else
            for (const auto& entry : fs::directory_iterator(argv[i]))
                files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const auto& path : files) {
        std::ifstream in(path, std::ios::binary);
        const std::vector<char> content{std::istreambuf_iterator<char>(in), {}};
        if (!in.is_open())
            return std::fprintf(stderr, "replay: cannot read %s\n", path.c_str()), 1;
        std::vector<uint8_t> bytes(content.begin(), content.end());
        std::fprintf(stderr, "replay: %s (%zu bytes)\n", path.c_str(), bytes.size());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::fprintf(stderr, "replay: %zu inputs, no finding\n", files.size());
    return files.empty() ? 1 : 0;
}
