// The system's own view of a PE checksum, for the Windows checks: for each
// file named, imagehlp's CheckSumMappedFile over the file mapped into
// memory, printed as "NAME: stored 0xXXXXXXXX, computed 0xXXXXXXXX". The
// exit status is the number of files whose stored checksum differs from the
// computed one or that cannot be checked.
#include <windows.h>

#include <imagehlp.h>

#include <cstdio>

namespace {

// CheckSumMappedFile over the mapped file; false when it cannot be mapped or
// holds no PE headers.
bool check(const char* path, DWORD* stored, DWORD* computed)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const DWORD length = GetFileSize(file, nullptr);
    HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    void* view = mapping != nullptr ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
    // Past an odd last byte the mapping's page holds zeros, which the
    // routine reads as that word's high half.
    const bool found =
        view != nullptr && CheckSumMappedFile(view, length, stored, computed) != nullptr;
    if (view != nullptr)
        UnmapViewOfFile(view);
    if (mapping != nullptr)
        CloseHandle(mapping);
    CloseHandle(file);
    return found;
}

} // namespace

int main(int argc, char** argv)
{
    int wrong = 0;
    for (int i = 1; i < argc; ++i) {
        DWORD stored = 0, computed = 0;
        if (!check(argv[i], &stored, &computed)) {
            std::printf("%s: cannot be checked\n", argv[i]);
            ++wrong;
            continue;
        }
        std::printf("%s: stored 0x%08lX, computed 0x%08lX\n", argv[i], (unsigned long)stored,
                    (unsigned long)computed);
        if (stored != computed)
            ++wrong;
    }
    return wrong;
}
