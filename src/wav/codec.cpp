// Wave files store integers least significant byte first; these build and split them
// arithmetically, so the machine's own byte order never matters.
#include "wav/wav.h"

uint32_t Assem2(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8;
}

uint32_t Assem4(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void Decon2(uint16_t v, unsigned char* out) {
    out[0] = static_cast<unsigned char>(v & 0xFF);
    out[1] = static_cast<unsigned char>(v >> 8);
}

void Decon3(uint32_t v, unsigned char* out) {
    out[0] = static_cast<unsigned char>(v & 0xFF);
    out[1] = static_cast<unsigned char>((v >> 8) & 0xFF);
    out[2] = static_cast<unsigned char>((v >> 16) & 0xFF);
}

void Decon4(uint32_t v, unsigned char* out) {
    Decon3(v, out);
    out[3] = static_cast<unsigned char>(v >> 24);
}
