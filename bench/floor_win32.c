/* The win32 floor: the same calls made through kernel32 with no C runtime,
 * for timing patch500.exe against under Wine. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

static char buffer[500];

void __stdcall FloorEntry(void) {
    DWORD moved;
    BY_HANDLE_FILE_INFORMATION info; /* the length, and what may be written */
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HANDLE source = CreateFileW(L"src.bin", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, 0,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
    HANDLE target = CreateFileW(L"tgt.bin", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, 0,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
    GetFileInformationByHandle(source, &info);
    GetFileInformationByHandle(target, &info);
    ReadFile(source, buffer, 500, &moved, 0);
    WriteFile(target, buffer, 500, &moved, 0);
    FlushFileBuffers(target);
    CloseHandle(source);
    CloseHandle(target);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    GetFileType(out);
    WriteFile(out, "Ok\r\n", 4, &moved, 0);
    ExitProcess(0);
}
