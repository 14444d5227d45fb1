// Decoding of the byte-wide port instructions that trap without I/O privilege.
#pragma once
#include <cstdint>

struct PortInsn {
    bool is_out;     // out (else in)
    bool uses_dx;    // port in DX (else the immediate byte)
    uint8_t imm;     // immediate port for the E4/E6 forms
    int length;      // instruction length in bytes
};

// Recognises EC (in al,dx), EE (out dx,al), E4 ib (in al,imm8) and
// E6 ib (out imm8,al). Anything else: false.
bool decode_port_insn(const uint8_t* code, PortInsn* out);
