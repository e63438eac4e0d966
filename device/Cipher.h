// The record cipher: a 64-bit block cipher on IDEA's group operations and key
// schedule, in the box's own arrangement. It is not IDEA; only the box's
// records decide what is right.
//
// A subkey table is 7 x 10 words indexed [position 1..6][round 1..9]; row 0
// and column 0 are not read by the block function. Encryption and decryption
// tables have the same shape and go through the same block function.
#pragma once

#include <cstdint>

namespace zplr::device {

// The key under which the box keeps its identity records.
constexpr char BoxKey[] = "Kp4%Wz8&Nq1^Xv6+";

// Multiplication modulo 65537 with 0 standing for 65536.
uint16_t Mul(uint32_t a, uint32_t b);

// Multiplicative inverse modulo 65537; 0 (that is 65536) is its own.
uint16_t Inv(uint16_t x);

// Fills both tables from the 16 key bytes; every word of both is written.
void GenerateKey(const uint8_t key[16], uint16_t enc[7][10], uint16_t dec[7][10]);

// One 8-byte block; in and out may be the same buffer.
void CipherBlock(const uint8_t in[8], uint8_t out[8], const uint16_t t[7][10]);

// Codebook mode over whole blocks: a length below 8 still takes one block and
// a partial last block takes the bytes after the data, so both buffers must
// hold the length rounded up to a multiple of 8, and at least 8 bytes.
void AddSubSecret(const uint8_t *in, uint8_t *out, int length, const uint16_t t[7][10]);

// The client encryption table of a device slot, defined with the slots;
// null for an index that names no slot, which leaves SetKey without effect.
uint16_t (*ClientTable(int deviceIndex))[10];

}  // namespace zplr::device
