#include "decode.h"

bool decode_port_insn(const uint8_t* code, PortInsn* out)
{
    switch (code[0]) {
    case 0xEC:
        *out = {false, true, 0, 1};
        return true;
    case 0xEE:
        *out = {true, true, 0, 1};
        return true;
    case 0xE4:
        *out = {false, false, code[1], 2};
        return true;
    case 0xE6:
        *out = {true, false, code[1], 2};
        return true;
    default:
        return false;
    }
}
