// Line settings from the familiar "115200,8N1" text, and the rate check
// the driver applies, for messages before a record is sent.
#include <cmath>
#include <cstdio>
#include <regex>

#include "client/client.h"

namespace qm {

std::optional<LineSettings> ParseLineSettings(const std::string& text, std::string* error) {
    static const std::regex kForm(R"(^(\d{1,10})(?:,([5-8])([NOEMSnoems])(1\.5|1|2))?$)");
    std::smatch m;
    if (!std::regex_match(text, m, kForm)) {
        *error = "'" + text + "' is not a line setting: use RATE[,DPS], for example 115200,8N1";
        return std::nullopt;
    }
    LineSettings s;
    long long rate = std::stoll(m[1].str());
    if (rate <= 0 || rate > 0x7FFFFFFF) {
        *error = "rate " + m[1].str() + " is out of range";
        return std::nullopt;
    }
    s.baudRate = static_cast<int32_t>(rate);
    if (m[2].matched) {
        s.dataBits = static_cast<uint8_t>(m[2].str()[0] - '0');
        s.parity = static_cast<char>(std::tolower(m[3].str()[0]));
        std::string stop = m[4].str();
        if (stop == "1.5") {
            if (s.dataBits != 5) {
                *error = "1.5 stop bits go with 5 data bits only";
                return std::nullopt;
            }
            s.stopBits = 3;
        } else if (stop == "2") {
            if (s.dataBits == 5) {
                *error = "5 data bits take 1 or 1.5 stop bits, not 2";
                return std::nullopt;
            }
            s.stopBits = 2;
        } else {
            s.stopBits = 1;
        }
    }
    return s;
}

namespace {

// The driver's rule: divisor = clock / (16 x rate), truncated; from 9600
// bit/s up the remainder must stay under 2 % of the clock; the divisor
// fits in 15 bits.
bool DriverAccepts(uint32_t clock, int64_t baud) {
    if (baud <= 0 || baud > 0x7FFFFFFF) return false;
    uint64_t base = 16ull * static_cast<uint64_t>(baud);
    if (base > 0xFFFFFFFFull || base > clock) return false;
    uint64_t q = clock / base, r = clock % base;
    if (baud >= 9600 && r >= clock / 50) return false;
    return q >= 1 && q <= 0x7FFF;
}

}  // namespace

double EffectiveRate(uint32_t clockHz, int64_t baud) {
    if (!DriverAccepts(clockHz, baud)) return 0;
    uint64_t divisor = clockHz / (16ull * static_cast<uint64_t>(baud));
    return clockHz / (16.0 * static_cast<double>(divisor));
}

bool CheckRate(uint32_t clockHz, int64_t baud, std::string* why) {
    if (DriverAccepts(clockHz, baud)) return true;
    // The nearest rate that a divisor gives exactly and the driver takes.
    double best = 0;
    double bestError = 1e300;
    for (uint32_t d = 1; d <= 0x7FFF; ++d) {
        double rate = clockHz / (16.0 * d);
        int64_t whole = static_cast<int64_t>(std::llround(rate));
        if (!DriverAccepts(clockHz, whole)) continue;
        double err = std::fabs(rate - static_cast<double>(baud));
        if (err < bestError) {
            bestError = err;
            best = static_cast<double>(whole);
        }
        if (rate < static_cast<double>(baud) / 2) break;
    }
    char text[200];
    if (best > 0) {
        double pct = (best - static_cast<double>(baud)) * 100.0 / static_cast<double>(baud);
        snprintf(text, sizeof text,
                 "%lld bit/s cannot be made from the %u Hz clock: nearest is %lld (%+.1f%%)",
                 static_cast<long long>(baud), clockHz, static_cast<long long>(best), pct);
    } else {
        snprintf(text, sizeof text, "%lld bit/s cannot be made from the %u Hz clock",
                 static_cast<long long>(baud), clockHz);
    }
    if (why) *why = text;
    return false;
}

}  // namespace qm
