// Stands in for the product's main program in the applet checks: records the command
// line it was given in standin.txt beside itself, waits a moment, and marks its end.
#include <windows.h>

#include <cstdio>
#include <cstring>

int main()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return 1;
    char* slash = std::strrchr(path, '\\');
    if (!slash) return 1;
    std::strcpy(slash + 1, "standin.txt");
    FILE* f = std::fopen(path, "w");
    if (!f) return 1;
    std::fprintf(f, "command line: [%s]\n", GetCommandLineA());
    std::fflush(f);
    Sleep(700);
    std::fprintf(f, "ended\n");
    std::fclose(f);
    return 0;
}
