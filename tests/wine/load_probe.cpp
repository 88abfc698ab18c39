// Loads a DLL by its bare name, as system code does, with or without first limiting the DLL
// search as the installer does at start-up.
//
//   load_probe.exe plain|harden NAME
//
// Exit status: 1 the DLL was loaded, 0 it was not found, 2 bad usage.
#include <windows.h>

#include <cstring>

int main(int argc, char **argv) {
    if (argc != 3 || (std::strcmp(argv[1], "plain") != 0 && std::strcmp(argv[1], "harden") != 0))
        return 2;
    if (std::strcmp(argv[1], "harden") == 0) {
        if (!SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
            SetDllDirectoryA("");
        }
    }
    return LoadLibraryA(argv[2]) ? 1 : 0;
}
