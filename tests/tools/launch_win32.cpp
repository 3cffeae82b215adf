// Test-only (win32): starts patch500.exe from the launcher's own folder with
// an exact command line, read byte for byte from the file cmdline.bin in
// the current folder, and exits with its exit code. Wine would re-quote
// any command line given to it from Linux; this keeps tabs, quotes and
// bytes above 127 exactly as written. Given the argument "detached", it
// starts patch500.exe as a detached process instead, with no console and
// no handles of its own: its standard handles are null. Given "rename", it
// holds src.bin against every other open while patch500 runs, and once
// patch500 holds tgt.bin it renames new.bin over tgt.bin, printing
// "renamed" or "rename refused" before patch500's own line; then it lets
// src.bin go.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

[[noreturn]] void Fail(UINT code) { ExitProcess(code); }

// Whether the launcher's own command line, past its program name, is `word`.
bool Given(const char* word) {
    const char* at = GetCommandLineA();
    for (bool quoted = false; *at != 0 && (quoted || (*at != ' ' && *at != '\t')); ++at) {
        if (*at == '"') quoted = !quoted;
    }
    while (*at == ' ' || *at == '\t') ++at;
    for (const char* c = word; *c != 0; ++c, ++at) {
        if (*at != *c) return false;
    }
    return *at == 0 || *at == ' ';
}

void Say(const char* line, DWORD length) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, length, &written, nullptr);
}

// Waits, at most 5 s, until another process holds tgt.bin without sharing
// deletion (an open that asks for it is then refused), and renames new.bin
// over it.
void RenameOverHeldTarget() {
    for (int tries = 0; tries < 5000; ++tries) {
        HANDLE probe = CreateFileA("tgt.bin", DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                   FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (probe == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION) break;
        if (probe != INVALID_HANDLE_VALUE) CloseHandle(probe);
        Sleep(1);
    }
    if (MoveFileExA("new.bin", "tgt.bin", MOVEFILE_REPLACE_EXISTING)) {
        Say("renamed\r\n", 9);
    } else {
        Say("rename refused\r\n", 16);
    }
}

}  // namespace

extern "C" __attribute__((force_align_arg_pointer, noreturn, used)) void Patch500Entry() {
    static char commandLine[32768];
    HANDLE file = CreateFileA("cmdline.bin", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) Fail(250);
    DWORD length = 0;
    if (!ReadFile(file, commandLine, sizeof commandLine - 1, &length, nullptr)) Fail(251);
    CloseHandle(file);
    commandLine[length] = 0;

    static char program[MAX_PATH + 16];
    DWORD n = GetModuleFileNameA(nullptr, program, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) Fail(252);
    while (n > 0 && program[n - 1] != '\\' && program[n - 1] != '/') --n;
    const char name[] = "patch500.exe";
    for (DWORD i = 0; i < sizeof name; ++i) program[n + i] = name[i];

    bool detached = Given("detached");
    bool rename = Given("rename");
    HANDLE held = INVALID_HANDLE_VALUE;
    if (rename) {
        held = CreateFileA("src.bin", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (held == INVALID_HANDLE_VALUE) Fail(249);
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    if (!detached) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(program, commandLine, nullptr, nullptr, !detached,
                        detached ? DETACHED_PROCESS : 0, nullptr, nullptr, &startup, &process)) {
        Fail(253);
    }
    if (rename) {
        RenameOverHeldTarget();
        CloseHandle(held);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 254;
    GetExitCodeProcess(process.hProcess, &status);
    ExitProcess(status);
}
