// The arithmetic of the two worker programs, shared with the exercises that
// ask what they print, so that an exercise's key is what the program computes.
#pragma once

#include <cstdint>

// n! modulo 2^64. Unsigned multiplication wraps where signed would overflow,
// and leaves the same bits as two's-complement wrap-around. From 66 on the
// product holds at least 64 factors of two and stays 0, so stopping there
// gives the same value and spares up to two billion passes. The 64-bit index
// ends the loop after i = n, even for n = 2147483647. For n below 1 nothing
// is multiplied: 1.
inline std::uint64_t factorial_of(std::int32_t n)
{
    std::uint64_t product = 1;
    for (std::int64_t i = 1; i <= n && product != 0; i++)
        product *= static_cast<std::uint64_t>(i);
    return product;
}

// n squared and n cubed modulo 2^32, read as signed: unsigned multiplication
// wraps where signed would overflow, and leaves the same bits.
inline std::int32_t square_of(std::int32_t n)
{
    const auto u = static_cast<std::uint32_t>(n);
    return static_cast<std::int32_t>(u * u);
}

inline std::int32_t cube_of(std::int32_t n)
{
    const auto u = static_cast<std::uint32_t>(n);
    return static_cast<std::int32_t>(u * u * u);
}
