// Text output: bytes gathered in the record's buffer, line ends, and the
// flush behind each line end.
#include "runtime/base/text_length.h"
#include "runtime/fileio/fileio.h"
#include "runtime/fileio/iostatus.h"
#include "runtime/textio/textio.h"

void WriteBytes(TextVar& file, const char* source, std::int32_t count) {
    if (file.State != StateOutput) {
        // Only ConsoleOut opens itself on its first write.
        if (&file == &ConsoleOut) OpenTextWrite(file);
        if (file.State != StateOutput) {
            SetIoStatus(StatusNotOpenForOutput);
            return;
        }
    }
    // Between operations the buffer is never full: a buffer that fills is
    // written out at once.
    for (;;) {
        std::int32_t free = static_cast<std::int32_t>(file.RecordSize) - file.BufferPosition;
        if (free > count) {
            if (count > 0) {
                __builtin_memcpy(file.BufferAddress + file.BufferPosition, source,
                                 static_cast<std::uint32_t>(count));
                file.BufferPosition += count;
            }
            return;
        }
        __builtin_memcpy(file.BufferAddress + file.BufferPosition, source,
                         static_cast<std::uint32_t>(free));
        file.BufferPosition += free;
        count -= free;
        source += free;
        if (std::uint32_t code = CallRoutine(file.TransferRoutine, file)) {
            SetIoStatus(code);
            return;
        }
    }
}

void WriteText(TextVar& file, const DynString& text) {
    WriteBytes(file, text.Bytes(), static_cast<std::int32_t>(text.Length()));
}

void WriteZText(TextVar& file, const char* text) {
    WriteBytes(file, text, static_cast<std::int32_t>(TextLength(text)));
}

void WriteLineEnd(TextVar& file) {
    WriteBytes(file, "\r\n", 2);
    TextLineFlush(file);
}

void TextLineFlush(TextVar& file) {
    if (file.State == StateOutput) {
        if (std::uint32_t code = CallRoutine(file.FlushRoutine, file)) SetIoStatus(code);
    } else if (file.State != StateInput) {
        SetIoStatus(StatusNotOpen);
    }
}
