// Feeds saved inputs (files, or directories of them) to a fuzz target without
// libFuzzer, so that any compiler builds the targets and CTest replays the corpus.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i) {
        if (std::filesystem::is_directory(argv[i])) {
            files.insert(files.end(), std::filesystem::directory_iterator(argv[i]), {});
        } else {
            files.emplace_back(argv[i]);
        }
    }
    std::sort(files.begin(), files.end());  // one order on every run: what an overread hits depends on it
    for (auto const& file : files) {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "cannot read %s\n", file.c_str());
            return 1;
        }
        // Exactly the file's size, so that a sanitizer build catches a read past the end.
        std::vector<uint8_t> input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::printf("%zu inputs replayed\n", files.size());
    return files.empty() ? 1 : 0;  // an empty or missing corpus proves nothing
}
