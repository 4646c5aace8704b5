// The web-HMI server's RSA key pair (big-integer arithmetic of libtommath).
#pragma once

#include <tommath.h>

#include <cstddef>

#include "platform/bytes.h"

struct dartu_rsa_key {
    mp_int e;   // public exponent
    mp_int d;   // private exponent
    mp_int N;   // modulus
    mp_int p;
    mp_int q;
    mp_int qP;  // q^-1 mod p
    mp_int dP;  // d mod (p - 1)
    mp_int dQ;  // d mod (q - 1)
};

// A key record with every number initialised to 0, or none.
dartu_rsa_key* dartu_rsa_alloc();
void dartu_rsa_free(dartu_rsa_key* key);

// Generates a key of the given size with the public exponent e.
// 0 success; -1 bits outside 1024..4096 (or an exponent that is not odd and
// above 1); -2 no memory; -3 an arithmetic failure or no random data.
int dartu_rsa_make_key(dartu_rsa_key* key, int bits, unsigned long e);

// Raises the big-endian input to the private exponent (with the Chinese
// remainder theorem) or to the public one, modulo N; writes the result as
// exactly N's byte length, zero-padded on the left. *out_length holds the
// capacity on entry and the written length on success. 0, or -1 (an input
// not below N, too little room, an arithmetic failure).
int dartu_rsa_exptmod(dartu_rsa_key* key, int private_key, const u8* input, size_t input_length, u8* output,
                      size_t* out_length);

// Decrypts a value enciphered with the public key (hexadecimal text) and
// removes its PKCS #1 v1.5 padding: the message length, the message copied
// with a NUL behind it; -1 for text that is no hexadecimal, a value not
// below N, a padding that is wrong or a message that does not fit in
// capacity - 2 bytes.
int dartu_rsa_decrypt_hex(dartu_rsa_key* key, const char* hex, char* destination, size_t capacity);
