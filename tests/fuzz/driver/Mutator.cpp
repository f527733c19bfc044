#include "Mutator.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

const uint8_t RAR5_SIGNATURE[] = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x01, 0x00};
const uint8_t RAR4_SIGNATURE[] = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x00};
constexpr size_t MAX_BLOCKS = 4096;  // a chain longer than any seed's is not followed further

struct CrcTable {
    uint32_t entries[256];
    CrcTable()
    {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            entries[i] = c;
        }
    }
};

// The CRC32 of zip and RAR (RAR4 headers keep its low 16 bits).
uint32_t Crc32(const uint8_t *p, size_t cb)
{
    static const CrcTable table;
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < cb; ++i)
        crc = table.entries[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

uint64_t Mix(uint64_t x)
{
    CRandom r(x);
    return r.Next();
}

// --- reading fields --------------------------------------------------------------------------

// A RAR5 variable-length integer at `pos`; false when it runs past the end or past 10 bytes.
bool ReadVint(const Bytes &b, size_t pos, uint64_t *pValue, size_t *pSize)
{
    uint64_t value = 0;
    for (size_t i = 0; i < 10 && pos + i < b.size(); ++i) {
        value |= static_cast<uint64_t>(b[pos + i] & 0x7F) << (7 * i);
        if ((b[pos + i] & 0x80) == 0) {
            *pValue = value;
            *pSize = i + 1;
            return true;
        }
    }
    return false;
}

uint64_t ReadLe(const Bytes &b, size_t pos, size_t size)
{
    uint64_t value = 0;
    for (size_t i = 0; i < size && pos + i < b.size(); ++i)
        value |= static_cast<uint64_t>(b[pos + i]) << (8 * i);
    return value;
}

uint64_t FieldValue(const Bytes &b, const HeaderField &f)
{
    if (!f.vint)
        return ReadLe(b, f.offset, f.size);
    uint64_t value = 0;
    size_t size = 0;
    return ReadVint(b, f.offset, &value, &size) ? value : 0;
}

// Writes `value` into the field's own width (a vint keeps its byte count).
void WriteField(Bytes &b, const HeaderField &f, uint64_t value)
{
    for (size_t i = 0; i < f.size && f.offset + i < b.size(); ++i) {
        if (f.vint)
            b[f.offset + i] = static_cast<uint8_t>(((value >> (7 * i)) & 0x7F) | (i + 1 < f.size ? 0x80 : 0));
        else
            b[f.offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

uint64_t FieldMax(const HeaderField &f)
{
    const size_t bits = f.size * (f.vint ? 7 : 8);
    return bits >= 64 ? ~0ull : (1ull << bits) - 1;
}

// --- following the block chain ---------------------------------------------------------------

// Adds a vint field at `*pPos` and moves past it; false when it cannot be read.
bool AddVint(const Bytes &b, size_t *pPos, size_t end, HeaderBlock *pBlock, const char *name, uint64_t *pValue)
{
    size_t size = 0;
    if (*pPos >= end || !ReadVint(b, *pPos, pValue, &size) || *pPos + size > end)
        return false;
    pBlock->fields.push_back({*pPos, size, true, name});
    *pPos += size;
    return true;
}

bool AddFixed(const Bytes &b, size_t *pPos, size_t end, size_t size, HeaderBlock *pBlock, const char *name)
{
    if (*pPos + size > end || *pPos + size > b.size())
        return false;
    pBlock->fields.push_back({*pPos, size, false, name});
    *pPos += size;
    return true;
}

// The extra area of a RAR5 header: records of (size, type, data).
void AddExtraRecords(const Bytes &b, size_t pos, size_t end, HeaderBlock *pBlock)
{
    for (int n = 0; n < 64 && pos < end; ++n) {
        uint64_t size = 0, type = 0;
        const size_t sizeField = pos;
        if (!AddVint(b, &pos, end, pBlock, "extra-record-size", &size))
            return;
        const size_t recordEnd = pos + static_cast<size_t>(std::min<uint64_t>(size, end - pos));
        if (!AddVint(b, &pos, recordEnd, pBlock, "extra-record-type", &type))
            return;
        if (type == 3 && pos < recordEnd) {  // file time: flags, then the times they announce
            uint64_t flags = 0;
            AddVint(b, &pos, recordEnd, pBlock, "time-flags", &flags);
        }
        if (recordEnd <= sizeField)
            return;
        pos = recordEnd;
    }
}

std::vector<HeaderBlock> ParseRar5(const Bytes &b)
{
    std::vector<HeaderBlock> blocks;
    size_t pos = sizeof(RAR5_SIGNATURE);
    while (pos + 5 < b.size() && blocks.size() < MAX_BLOCKS) {
        HeaderBlock block;
        block.start = pos;
        block.rar5 = true;
        block.fields.push_back({pos, 4, false, "header-crc"});
        size_t p = pos + 4;
        uint64_t headerSize = 0;
        if (!AddVint(b, &p, b.size(), &block, "header-size", &headerSize) || headerSize == 0 ||
            headerSize > b.size() - p)
            break;
        const size_t end = p + static_cast<size_t>(headerSize);
        block.crcFrom = pos + 4;
        block.crcTo = end;
        uint64_t type = 0, flags = 0, extraSize = 0, dataSize = 0;
        AddVint(b, &p, end, &block, "header-type", &type);
        AddVint(b, &p, end, &block, "header-flags", &flags);
        block.type = static_cast<unsigned>(type);
        if ((flags & 1) != 0)
            AddVint(b, &p, end, &block, "extra-size", &extraSize);
        if ((flags & 2) != 0)
            AddVint(b, &p, end, &block, "data-size", &dataSize);
        uint64_t value = 0;
        if (type == 1) {  // main archive header
            uint64_t archiveFlags = 0;
            AddVint(b, &p, end, &block, "archive-flags", &archiveFlags);
            if ((archiveFlags & 2) != 0)
                AddVint(b, &p, end, &block, "volume-number", &value);
        } else if (type == 2 || type == 3) {  // file or service header
            uint64_t fileFlags = 0;
            AddVint(b, &p, end, &block, "file-flags", &fileFlags);
            AddVint(b, &p, end, &block, "unpacked-size", &value);
            AddVint(b, &p, end, &block, "attributes", &value);
            if ((fileFlags & 2) != 0)
                AddFixed(b, &p, end, 4, &block, "mtime");
            if ((fileFlags & 4) != 0)
                AddFixed(b, &p, end, 4, &block, "data-crc");
            AddVint(b, &p, end, &block, "compression", &value);
            AddVint(b, &p, end, &block, "host-os", &value);
            AddVint(b, &p, end, &block, "name-length", &value);
        } else if (type == 4) {  // archive encryption header
            AddVint(b, &p, end, &block, "encryption-version", &value);
            AddVint(b, &p, end, &block, "encryption-flags", &value);
            AddFixed(b, &p, end, 1, &block, "kdf-count");
        } else if (type == 5) {  // end of archive
            AddVint(b, &p, end, &block, "end-flags", &value);
        }
        if (extraSize != 0 && extraSize <= headerSize)
            AddExtraRecords(b, end - static_cast<size_t>(extraSize), end, &block);
        blocks.push_back(block);
        if (dataSize > b.size() - end)
            break;
        pos = end + static_cast<size_t>(dataSize);
    }
    return blocks;
}

std::vector<HeaderBlock> ParseRar4(const Bytes &b)
{
    std::vector<HeaderBlock> blocks;
    size_t pos = sizeof(RAR4_SIGNATURE);
    while (pos + 7 <= b.size() && blocks.size() < MAX_BLOCKS) {
        HeaderBlock block;
        block.start = pos;
        block.rar5 = false;
        const unsigned flags = static_cast<unsigned>(ReadLe(b, pos + 3, 2));
        const size_t headSize = static_cast<size_t>(ReadLe(b, pos + 5, 2));
        if (headSize < 7 || pos + headSize > b.size())
            break;
        const size_t end = pos + headSize;
        block.crcFrom = pos + 2;
        block.crcTo = end;
        block.type = b[pos + 2];
        size_t p = pos;
        AddFixed(b, &p, end, 2, &block, "head-crc");
        AddFixed(b, &p, end, 1, &block, "head-type");
        AddFixed(b, &p, end, 2, &block, "head-flags");
        AddFixed(b, &p, end, 2, &block, "head-size");
        uint64_t addSize = 0;
        if (block.type == 0x74 || block.type == 0x7A) {  // file and service headers
            AddFixed(b, &p, end, 4, &block, "pack-size");
            addSize = ReadLe(b, pos + 7, 4);
            AddFixed(b, &p, end, 4, &block, "unp-size");
            AddFixed(b, &p, end, 1, &block, "host-os");
            AddFixed(b, &p, end, 4, &block, "file-crc");
            AddFixed(b, &p, end, 4, &block, "ftime");
            AddFixed(b, &p, end, 1, &block, "unp-ver");
            AddFixed(b, &p, end, 1, &block, "method");
            AddFixed(b, &p, end, 2, &block, "name-size");
            AddFixed(b, &p, end, 4, &block, "attr");
            if ((flags & 0x100) != 0) {
                AddFixed(b, &p, end, 4, &block, "high-pack-size");
                AddFixed(b, &p, end, 4, &block, "high-unp-size");
            }
        } else if (block.type == 0x73) {  // main header
            AddFixed(b, &p, end, 2, &block, "high-pos-av");
            AddFixed(b, &p, end, 4, &block, "pos-av");
        } else if (block.type == 0x75) {  // old comment header
            AddFixed(b, &p, end, 2, &block, "cmt-unp-size");
            AddFixed(b, &p, end, 1, &block, "cmt-unp-ver");
            AddFixed(b, &p, end, 1, &block, "cmt-method");
            AddFixed(b, &p, end, 2, &block, "cmt-crc");
        } else if ((flags & 0x8000) != 0) {
            AddFixed(b, &p, end, 4, &block, "add-size");
            addSize = ReadLe(b, pos + 7, 4);
        }
        blocks.push_back(block);
        if (addSize > b.size() - end)
            break;
        pos = end + static_cast<size_t>(addSize);
    }
    return blocks;
}

// --- the mutations ---------------------------------------------------------------------------

std::string Hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

// A value that tends to find faults in a field of this width.
uint64_t InterestingValue(CRandom &rng, uint64_t original, const HeaderField &f)
{
    const uint64_t max = FieldMax(f);
    const uint64_t candidates[] = {0,
                                   1,
                                   max,
                                   max - 1,
                                   original + 1,
                                   original - 1,
                                   original * 2,
                                   original / 2,
                                   original ^ (1ull << rng.Below(f.size * (f.vint ? 7 : 8))),
                                   0x7F,
                                   0x80,
                                   0xFF,
                                   0x7FFF,
                                   0xFFFF,
                                   0x7FFFFFFF,
                                   0x80000000,
                                   0xFFFFFFFF,
                                   0x100000000ull,
                                   rng.Next()};
    return candidates[rng.Below(sizeof(candidates) / sizeof(candidates[0]))] & max;
}

// Picks a header block that has fields; NULL when the archive has none.
const HeaderBlock *PickBlock(CRandom &rng, const std::vector<HeaderBlock> &blocks)
{
    if (blocks.empty())
        return nullptr;
    return &blocks[rng.Below(blocks.size())];
}

std::string ChangeField(CRandom &rng, Bytes &b)
{
    const std::vector<HeaderBlock> blocks = ParseHeaders(b);
    const HeaderBlock *block = PickBlock(rng, blocks);
    if (block == nullptr || block->fields.empty())
        return "field(no header)";
    const HeaderField &f = block->fields[rng.Below(block->fields.size())];
    const uint64_t before = FieldValue(b, f);
    const uint64_t after = InterestingValue(rng, before, f);
    WriteField(b, f, after);
    // Mostly the header stays valid; sometimes the CRC check is what should catch it.
    const bool fixCrc = !rng.OneIn(8) && std::strcmp(f.name, "header-crc") != 0 && std::strcmp(f.name, "head-crc") != 0;
    if (fixCrc)
        FixHeaderCrc(b, *block);
    return std::string("field(") + f.name + "@" + Hex(f.offset) + " " + Hex(before) + "->" + Hex(after) +
           (fixCrc ? ", crc fixed)" : ")");
}

const HeaderField *FindField(const HeaderBlock &block, const char *name)
{
    for (const HeaderField &f : block.fields)
        if (std::strcmp(f.name, name) == 0)
            return &f;
    return nullptr;
}

// The unpacked size and the dictionary a file, service (a comment among them) or old comment
// header declares, changed on purpose with the CRC made right: sizes below and above the data's
// own (or "unknown") and dictionaries from the smallest to 4 GB, so that windows sized by what a
// header declares meet data that needs more than that, or far less. A vint keeps its width, so
// a small entry's size cannot grow past what its bytes hold; "unknown" stands for the largest.
std::string ChangeSizeOrDictionary(CRandom &rng, Bytes &b)
{
    const std::vector<HeaderBlock> blocks = ParseHeaders(b);
    std::vector<const HeaderBlock *> entries;
    for (const HeaderBlock &block : blocks)
        if (block.rar5 ? block.type == 2 || block.type == 3 : block.type == 0x74 || block.type == 0x7A || block.type == 0x75)
            entries.push_back(&block);
    if (entries.empty())
        return "size(no entry header)";
    const HeaderBlock &block = *entries[rng.Below(entries.size())];
    std::string text = "size(";
    const size_t what = rng.Below(3);  // 0 the size, 1 the dictionary, 2 both
    if (what != 1) {
        const HeaderField *flags = FindField(block, "file-flags");
        const HeaderField *size =
            FindField(block, block.rar5 ? "unpacked-size" : block.type == 0x75 ? "cmt-unp-size" : "unp-size");
        if (block.rar5 && flags != nullptr && rng.OneIn(5)) {
            const uint64_t before = FieldValue(b, *flags);
            WriteField(b, *flags, (before | 0x08) & FieldMax(*flags));  // FHFL_UNPUNKNOWN
            text += "unknown";
        } else if (size != nullptr) {
            const uint64_t before = FieldValue(b, *size);
            const uint64_t candidates[] = {0, 1, before / 2, before / 16, before - 1, before + 1, before * 2,
                                           before * 4096, 0x3FFFF, 0x40000, 0x40001, 0x100000, FieldMax(*size)};
            const uint64_t after = candidates[rng.Below(sizeof(candidates) / sizeof(candidates[0]))] & FieldMax(*size);
            WriteField(b, *size, after);
            text += std::string(size->name) + " " + Hex(before) + "->" + Hex(after);
            const HeaderField *high = FindField(block, "high-unp-size");
            if (high != nullptr && rng.OneIn(3)) {
                const uint64_t highAfter = rng.OneIn(2) ? 1 : 0xFFFFFFFF;
                WriteField(b, *high, highAfter);
                text += " high->" + Hex(highAfter);
            }
        }
    }
    if (what != 0) {
        if (block.rar5) {
            // CompInfo: bits 10-13 the dictionary (128 KB << n), bit 6 solid. A stored entry's
            // one-byte field has no room for them.
            const HeaderField *comp = FindField(block, "compression");
            if (comp != nullptr && comp->size >= 2) {
                const uint64_t before = FieldValue(b, *comp);
                uint64_t after = (before & ~(0xFull << 10)) | (static_cast<uint64_t>(rng.Below(16)) << 10);
                if (rng.OneIn(4))
                    after ^= 0x40;
                WriteField(b, *comp, after & FieldMax(*comp));
                text += std::string(text.size() > 5 ? " " : "") + "comp " + Hex(before) + "->" + Hex(after);
            }
        } else if (block.type != 0x75) {
            // LHD_WINDOWMASK: bits 5-7 of the flags, 64 KB << n; 7 marks a folder.
            const HeaderField *flags = FindField(block, "head-flags");
            if (flags != nullptr) {
                const uint64_t before = FieldValue(b, *flags);
                const uint64_t after = (before & ~0xE0ull) | (static_cast<uint64_t>(rng.Below(8)) << 5);
                WriteField(b, *flags, after);
                text += std::string(text.size() > 5 ? " " : "") + "flags " + Hex(before) + "->" + Hex(after);
            }
        }
    }
    FixHeaderCrc(b, block);
    return text + ", crc fixed)";
}

// What an entry says it is, changed with the CRC made right: the unpack version (RAR 4: from
// 1.3 to numbers no decoder serves; RAR 5: the algorithm bits), the host system, the attributes
// (the directory attribute on a file among them) and RAR 5's directory flag. Decoders and the
// filter's own idea of a directory then disagree about the same entry.
std::string ChangeEntryKind(CRandom &rng, Bytes &b)
{
    const std::vector<HeaderBlock> blocks = ParseHeaders(b);
    std::vector<const HeaderBlock *> entries;
    for (const HeaderBlock &block : blocks)
        if (block.rar5 ? block.type == 2 : block.type == 0x74)
            entries.push_back(&block);
    if (entries.empty())
        return "kind(no entry header)";
    const HeaderBlock &block = *entries[rng.Below(entries.size())];
    const struct {
        const char *name;
        std::vector<uint64_t> values;
    } rar4[] = {{"unp-ver", {13, 15, 16, 19, 20, 21, 26, 27, 28, 29, 36, 50, 0xFF}},
                {"host-os", {0, 2, 3, 5, 0xFF}},
                {"attr", {0x10, 0x20, 0x30, 0x41ED, 0x81B4, 0xFFFFFFFF}}},
      rar5[] = {{"host-os", {0, 1, 2}},
                {"attributes", {0x10, 0x20, 0x41ED, 0x81A4}},
                {"file-flags", {}},
                {"compression", {}}};
    const auto &choices = block.rar5 ? rar5 : rar4;
    const size_t count = block.rar5 ? sizeof(rar5) / sizeof(rar5[0]) : sizeof(rar4) / sizeof(rar4[0]);
    const auto &choice = choices[rng.Below(count)];
    const HeaderField *field = FindField(block, choice.name);
    if (field == nullptr)
        return std::string("kind(no ") + choice.name + ")";
    const uint64_t before = FieldValue(b, *field);
    uint64_t after = before;
    if (!choice.values.empty())
        after = choice.values[rng.Below(choice.values.size())];
    else if (std::strcmp(choice.name, "file-flags") == 0)
        after = before ^ 0x01;  // FHFL_DIRECTORY
    else
        after = (before & ~0x3Full) | (rng.OneIn(2) ? 1 : rng.Below(64));  // the algorithm version
    WriteField(b, *field, after & FieldMax(*field));
    FixHeaderCrc(b, block);
    return std::string("kind(") + choice.name + " " + Hex(before) + "->" + Hex(after & FieldMax(*field)) + ", crc fixed)";
}

std::string FlipHeaderBits(CRandom &rng, Bytes &b)
{
    const std::vector<HeaderBlock> blocks = ParseHeaders(b);
    const HeaderBlock *block = PickBlock(rng, blocks);
    if (block == nullptr || block->crcTo <= block->crcFrom)
        return "header-bits(no header)";
    std::string text = "header-bits(";
    const size_t flips = 1 + rng.Below(3);
    for (size_t i = 0; i < flips; ++i) {
        const size_t pos = block->crcFrom + rng.Below(block->crcTo - block->crcFrom);
        const unsigned bit = static_cast<unsigned>(rng.Below(8));
        b[pos] ^= static_cast<uint8_t>(1u << bit);
        text += (i ? " " : "") + Hex(pos) + "." + std::to_string(bit);
    }
    FixHeaderCrc(b, *block);
    return text + ", crc fixed)";
}

std::string FlipBits(CRandom &rng, Bytes &b)
{
    std::string text = "bits(";
    const size_t flips = 1 + rng.Below(8);
    for (size_t i = 0; i < flips; ++i) {
        const size_t pos = rng.Below(b.size());
        const unsigned bit = static_cast<unsigned>(rng.Below(8));
        b[pos] ^= static_cast<uint8_t>(1u << bit);
        text += (i ? " " : "") + Hex(pos) + "." + std::to_string(bit);
    }
    return text + ")";
}

std::string ByteRun(CRandom &rng, Bytes &b)
{
    const size_t pos = rng.Below(b.size());
    const size_t len = 1 + rng.Below(std::min<size_t>(64, b.size() - pos));
    const size_t mode = rng.Below(5);
    const uint8_t constant = mode == 0 ? 0x00 : mode == 1 ? 0xFF : static_cast<uint8_t>(rng.Next());
    const size_t from = rng.Below(b.size() - len + 1);
    const Bytes source(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(from + len));
    for (size_t i = 0; i < len; ++i) {
        if (mode <= 2)
            b[pos + i] = constant;
        else if (mode == 3)
            b[pos + i] = static_cast<uint8_t>(rng.Next());
        else
            b[pos + i] = source[i];
    }
    static const char *const modes[] = {"zeros", "0xff", "byte", "random", "copy"};
    return std::string("run(") + Hex(pos) + "+" + std::to_string(len) + " " + modes[mode] + ")";
}

std::string Truncate(CRandom &rng, Bytes &b)
{
    size_t length = rng.Below(b.size());
    // Half of the cuts land at or near a header's edge, where a reader decides what comes next.
    const std::vector<HeaderBlock> blocks = ParseHeaders(b);
    if (!blocks.empty() && rng.OneIn(2)) {
        const HeaderBlock &block = blocks[rng.Below(blocks.size())];
        const size_t edge = rng.OneIn(2) ? block.start : block.crcTo;
        length = std::min(b.size() - 1, edge + rng.Below(9) - std::min<size_t>(edge, 4));
    }
    b.resize(length);
    return "cut(" + Hex(length) + ")";
}

} // namespace

uint64_t CRandom::Next() noexcept
{
    uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

size_t CRandom::Below(size_t n) noexcept { return n == 0 ? 0 : static_cast<size_t>(Next() % n); }

std::vector<HeaderBlock> ParseHeaders(const Bytes &archive)
{
    if (archive.size() >= sizeof(RAR5_SIGNATURE) &&
        std::memcmp(archive.data(), RAR5_SIGNATURE, sizeof(RAR5_SIGNATURE)) == 0)
        return ParseRar5(archive);
    if (archive.size() >= sizeof(RAR4_SIGNATURE) &&
        std::memcmp(archive.data(), RAR4_SIGNATURE, sizeof(RAR4_SIGNATURE)) == 0)
        return ParseRar4(archive);
    return {};
}

void FixHeaderCrc(Bytes &archive, const HeaderBlock &block)
{
    if (block.crcTo > archive.size() || block.crcFrom >= block.crcTo)
        return;
    const uint32_t crc = Crc32(archive.data() + block.crcFrom, block.crcTo - block.crcFrom);
    const size_t width = block.rar5 ? 4 : 2;
    for (size_t i = 0; i < width; ++i)
        archive[block.start + i] = static_cast<uint8_t>(crc >> (8 * i));
}

Bytes Mutate(const Bytes &seed, uint64_t runSeed, uint64_t index, std::string *pDescription)
{
    CRandom rng(Mix(runSeed) ^ Mix(~index));
    Bytes b = seed;
    std::string description;
    bool cut = false;
    const size_t ops = 1 + rng.Below(3);
    for (size_t op = 0; op < ops && !b.empty(); ++op) {
        const size_t roll = rng.Below(100);
        std::string what;
        if (roll < 25)
            what = ChangeField(rng, b);
        else if (roll < 30)
            what = ChangeEntryKind(rng, b);
        else if (roll < 40)
            what = ChangeSizeOrDictionary(rng, b);
        else if (roll < 50)
            what = FlipHeaderBits(rng, b);
        else if (roll < 70)
            what = FlipBits(rng, b);
        else if (roll < 85)
            what = ByteRun(rng, b);
        else
            cut = true;  // last, so that the other changes land in what is left
        if (!what.empty())
            description += (description.empty() ? "" : " ") + what;
    }
    if (cut && !b.empty())
        description += (description.empty() ? "" : " ") + Truncate(rng, b);
    if (pDescription != nullptr)
        *pDescription = description;
    return b;
}
