/* The win32 floor: the same calls made through kernel32 with no C runtime,
 * for timing patch500.exe against under Wine. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

static char buffer[500];

void __stdcall FloorEntry(void) {
    DWORD moved;
    LARGE_INTEGER size;
    HANDLE source = CreateFileA("src.bin", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, 0,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
    HANDLE target = CreateFileA("tgt.bin", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, 0,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
    GetFileSizeEx(source, &size);
    GetFileSizeEx(target, &size);
    ReadFile(source, buffer, 500, &moved, 0);
    WriteFile(target, buffer, 500, &moved, 0);
    CloseHandle(source);
    CloseHandle(target);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    GetFileType(out);
    WriteFile(out, "Ok\r\n", 4, &moved, 0);
    ExitProcess(0);
}
