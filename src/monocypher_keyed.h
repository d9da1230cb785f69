// Keyed BLAKE2b under the name later Monocypher releases give it; the 2.x
// release the firmware is built with calls it crypto_blake2b_general, with
// the same arguments.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {
#include "monocypher.h"
}

inline void crypto_blake2b_keyed(uint8_t *hash, size_t hash_size, const uint8_t *key, size_t key_size,
                                 const uint8_t *message, size_t message_size) {
    crypto_blake2b_general(hash, hash_size, key, key_size, message, message_size);
}
