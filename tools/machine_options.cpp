#include "tools/machine_options.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace tools {

namespace {

bool ParseNumber(const std::string& text, long min, long max, long* out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 0);
    if (errno || *end || v < min || v > max) return false;
    *out = v;
    return true;
}

}  // namespace

std::string ParseBoardSpec(const std::string& text, sim::BoardConfig* out) {
    sim::BoardConfig c;
    bool haveModel = false, haveIrq = false;
    std::stringstream ss(text);
    std::string item;
    while (std::getline(ss, item, ',')) {
        auto eq = item.find('=');
        if (eq == std::string::npos) return "expected KEY=VALUE, got '" + item + "'";
        std::string key = item.substr(0, eq), value = item.substr(eq + 1);
        long v = 0;
        auto number = [&](long min, long max) {
            if (!ParseNumber(value, min, max, &v)) {
                throw std::string("bad value for " + key + ": '" + value + "' (" +
                                  std::to_string(min) + " to " + std::to_string(max) + ")");
            }
        };
        try {
            if (key == "model") { number(1, 16); c.model = static_cast<int>(v); haveModel = true; }
            else if (key == "irq") { number(1, 255); c.irq = static_cast<uint32_t>(v); haveIrq = true; }
            else if (key == "bus") { number(0, 255); c.bus = static_cast<uint32_t>(v); }
            else if (key == "slot") { number(0, 31); c.device = static_cast<uint32_t>(v); }
            else if (key == "function") { number(0, 7); c.function = static_cast<uint32_t>(v); }
            else if (key == "options") { number(0, 255); c.options = static_cast<uint8_t>(v); }
            else if (key == "id") { number(0, 65535); c.deviceId = static_cast<uint16_t>(v); }
            else return "unknown key '" + key + "' (model, irq, bus, slot, function, options, id)";
        } catch (const std::string& e) {
            return e;
        }
    }
    if (!haveModel || !haveIrq) return "model= and irq= are required";
    *out = c;
    return "";
}

std::string ParseLineSpec(const std::string& text, LineSpec* out) {
    auto eq = text.find('=');
    auto dot = text.find('.');
    if (eq == std::string::npos || dot == std::string::npos || dot > eq) {
        return "expected B.P=WHAT";
    }
    long b = 0, p = 0;
    if (!ParseNumber(text.substr(0, dot), 0, 255, &b) ||
        !ParseNumber(text.substr(dot + 1, eq - dot - 1), 0, 255, &p)) {
        return "expected B.P=WHAT with numbers B and P";
    }
    out->board = static_cast<int>(b);
    out->port = static_cast<int>(p);
    out->what = text.substr(eq + 1);
    if (out->what.empty()) return "nothing to wire to";
    return "";
}

std::vector<LineSpec> DefaultWiring() {
    return {{0, 0, "null-modem:0.1"}, {0, 2, "null-modem:0.3"}, {0, 4, "null-modem:0.5"},
            {0, 6, "loopback"}, {0, 7, "pty"}};
}

}  // namespace tools
