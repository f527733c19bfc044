// Deterministic mutations of RAR archives for the fuzz program: bit flips, byte runs, truncation
// and changes of header fields. A changed header gets its CRC made right again most of the time,
// so that the change passes UnRAR's header check and reaches the code behind it.
// The same seed archive, run seed and mutant number always give the same bytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// splitmix64: small, fast, and the same on every compiler.
class CRandom
{
public:
    explicit CRandom(uint64_t seed) noexcept : m_state(seed) {}
    uint64_t Next() noexcept;
    size_t Below(size_t n) noexcept;  // 0 .. n-1; 0 when n is 0
    bool OneIn(size_t n) noexcept { return Below(n) == 0; }

private:
    uint64_t m_state;
};

// One field of a block header: its place, its width, and whether it is a RAR5 variable-length
// integer (7 bits a byte, high bit set on every byte but the last).
struct HeaderField {
    size_t offset = 0;
    size_t size = 0;
    bool vint = false;
    const char *name = "";
};

// One block header of an archive, as far as it could be followed.
struct HeaderBlock {
    size_t start = 0;              // the block's first byte (its CRC)
    size_t crcFrom = 0, crcTo = 0; // the bytes its CRC covers
    bool rar5 = false;             // RAR5: 4-byte CRC32; RAR4: 2 bytes, the CRC32's low half
    unsigned type = 0;
    std::vector<HeaderField> fields;
};

// The block headers of a RAR4 or RAR5 archive, in order, up to the first that cannot be followed.
std::vector<HeaderBlock> ParseHeaders(const Bytes &archive);

// Writes the CRC a block's header bytes call for.
void FixHeaderCrc(Bytes &archive, const HeaderBlock &block);

// Mutant number `index` of `seed` for run seed `runSeed`; `pDescription` gets what was done.
Bytes Mutate(const Bytes &seed, uint64_t runSeed, uint64_t index, std::string *pDescription);
