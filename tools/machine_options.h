// quillmard's machine options: boards and line wiring.
#pragma once

#include <string>
#include <vector>

#include "sim/machine.h"

namespace tools {

// "model=M,irq=I[,bus=B][,slot=D][,function=F][,options=O][,id=DEVICEID]"
// Returns "" and fills `out`, or the reason the text was refused.
std::string ParseBoardSpec(const std::string& text, sim::BoardConfig* out);

struct LineSpec {
    int board = 0;
    int port = 0;
    std::string what;
};
// "B.P=WHAT"
std::string ParseLineSpec(const std::string& text, LineSpec* out);

// Ports 0-1, 2-3, 4-5 as null-modem pairs, 6 a loopback plug, 7 a pty.
std::vector<LineSpec> DefaultWiring();

}  // namespace tools
