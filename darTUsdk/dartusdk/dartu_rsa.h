// The web-HMI server's RSA key pair (big-integer arithmetic of libtommath).
#pragma once

#include <tommath.h>

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
