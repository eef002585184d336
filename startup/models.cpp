// The board-model table: port count, UART kind and clock per model, and
// the FIFO figures of each UART kind.
#include "serial/port.h"
#include "startup/startup.h"

uint8_t g_UartKind;
uint32_t g_UartClock;

namespace {

const BoardModelRow kBoardModels[16] = {
    {8, 3, 22118400},  // 1
    {4, 3, 22118400},  // 2
    {2, 3, 22118400},  // 3
    {8, 4, 14745600},  // 4
    {8, 4, 14745600},  // 5
    {4, 4, 14745600},  // 6
    {4, 4, 14745600},  // 7
    {2, 5, 14745600},  // 8
    {8, 4, 14745600},  // 9
    {8, 4, 14745600},  // 10
    {8, 4, 14745600},  // 11
    {2, 4, 20000000},  // 12
    {2, 5, 14745600},  // 13
    {8, 4, 14745600},  // 14
    {8, 4, 19692800},  // 15
    {8, 4, 16240000},  // 16
};

// Receive trigger level and transmit burst by UART kind: the 64-byte
// FIFOs of kind 3 interrupt at 56 and take 56; the 128-byte FIFOs of kinds
// 4 and 5 interrupt at 124 and take 112 (transmit trigger 128 - 112 = 16).
void FifoFigures(UartKind kind, uint32_t* rxTriggerLevel, uint32_t* txBurst) {
    if (kind == 3) {
        *rxTriggerLevel = 56;
        *txBurst = 56;
    } else if (kind == 4 || kind == 5) {
        *rxTriggerLevel = 124;
        *txBurst = 112;
    }
}

// Per-port value recorded beside the row; nothing reads it.
uint8_t PortFlagOf(BoardModel model, uint8_t boardOptions, uint8_t portIndex) {
    switch (model) {
        case 1: case 2: case 3: case 13: return 0;
        case 5: return boardOptions == 1 ? (portIndex >= 6) : (portIndex >= 4);
        case 7: case 9: return portIndex >= 2;
        default: return 1;
    }
}

}  // namespace

const BoardModelRow* FindBoardModel(BoardModel model) {
    if (model < 1 || model > 16) return nullptr;
    return &kBoardModels[model - 1];
}

uint8_t PortCountOfModel(BoardModel model) {
    const BoardModelRow* row = FindBoardModel(model);
    return row ? row->ports : 0;
}

void ApplyBoardModel(BoardModel model, uint8_t portIndex, PortContext* ctx) {
    const BoardModelRow* row = FindBoardModel(model);
    if (!row) return;
    ctx->boardModel = model;
    g_UartKind = row->uartKind;
    g_UartClock = row->uartClock;
    ctx->portFlag = PortFlagOf(model, ctx->boardOptions, portIndex);
}

void ApplyFifoFigures(PortContext* ctx) {
    FifoFigures(g_UartKind, &ctx->rxTriggerLevel, &ctx->txBurst);
}
