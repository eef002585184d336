// Process entry, argument narrowing and the option scan.
#include "startup/startup.h"

uint8_t g_IrqLine;
uint8_t g_PortNameBase;
uint8_t g_IrqShared;

namespace {

const char kUsageText[] =
    "Usage: \n"
    "-Q IRQ of the Quillmar Board\n"
    "-S Sharable IRQ in RTX, 1 for TRUE, 0 for FALSE\n"
    "-P Port index for naming, read ReadMe.txt for multi-board naming scheme.\n"
    "-h help";

// Signed decimal: leading white space, one optional sign, digits up to the
// first non-digit; wraps modulo 2^32 instead of detecting overflow. The
// option keeps the low 8 bits.
uint8_t ConvertOptionValue(const char* text) {
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    uint32_t value = 0;
    while (*p >= '0' && *p <= '9') {
        value = value * 10u + static_cast<uint32_t>(*p - '0');
        ++p;
    }
    if (negative) value = 0u - value;
    return static_cast<uint8_t>(value);
}

}  // namespace

uint32_t ImageEntry(uint32_t firstWord, void* loaderRecord) {
    if (firstWord != 0) {
        return static_cast<uint32_t>(_RtssAttachProcessW(firstWord, loaderRecord, StartRoutine));
    }
    return static_cast<uint32_t>(StartRoutine(0, 0));
}

int32_t StartRoutine(uint32_t, uint32_t) {
    int32_t count = 0;
    char16_t** vector = nullptr;
    RtGetWideArguments(&count, &vector);
    return NarrowArguments(count, vector);
}

int32_t NarrowArguments(int32_t count, char16_t** vector) {
    for (int32_t i = 0; i < count; ++i) {
        char16_t* wide = vector[i];
        // In place: byte k becomes the low byte of unit k. Byte k lies in
        // unit k/2, which has already been read, so nothing unread is lost.
        char* narrow = reinterpret_cast<char*>(wide);
        for (uint32_t k = 0;; ++k) {
            char16_t unit = wide[k];
            narrow[k] = static_cast<char>(unit & 0xFF);
            if (narrow[k] == 0) break;
        }
    }
    return driver::main(count, reinterpret_cast<char**>(vector));
}

int32_t ScanOptions(int32_t argc, char** argv) {
    for (int32_t i = 1; i < argc; ++i) {
        char* argument = argv[i];
        if (argument[0] != '-') continue;
        for (char* p = argument + 1; *p != 0; ++p) {
            char letter = *p;
            if (letter == 'h') {
                RtPrintf("%s", kUsageText);
                return 0;
            }
            if (letter != 'Q' && letter != 'P' && letter != 'S') continue;
            bool separate = p[1] == 0;
            const char* text;
            if (!separate) {
                text = p + 1;
            } else if (i + 1 < argc) {
                text = argv[++i];
            } else {
                break;  // nothing follows: the option keeps its value
            }
            uint8_t value = ConvertOptionValue(text);
            if (letter == 'Q') g_IrqLine = value;
            if (letter == 'P') g_PortNameBase = value;
            if (letter == 'S') {
                g_IrqShared = value;
                if (g_IrqShared > 1) {
                    RtPrintf("IrqShare wrong value, should be 0 or 1\n");
                    return 0;
                }
            }
            // An attached value's characters are walked as letters too; a
            // separate value ends this argument.
            if (separate) break;
        }
    }
    return 1;
}

namespace driver {

int32_t main(int32_t argc, char** argv) {
    if (!ScanOptions(argc, argv)) return 0;
    FindBoard();
    for (;;) SuspendThread(GetCurrentThread());
}

}  // namespace driver
