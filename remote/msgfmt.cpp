#include "remote/msgfmt.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "remote/gsmgprs.h"

namespace {

constexpr u32 kTemplateMax = 160;  // characters of a template walked
constexpr u32 kParsedFields = 21;  // fields of a received text written

// Reads up to 32 bits (a whole number of bytes, or one bit) as a number.
bool ReadValue(u32 address, u32 bits, u32* value) {
    *value = 0;
    if (bits == 0) return false;
    if (bits == 1) {
        u8 b = 0;
        if (!GSMPlcReg_Get(&b, address, 1)) return false;
        *value = b & 1u;
        return true;
    }
    bits = std::min<u32>(bits, 32);
    u32 bytes = (bits + 7) / 8;
    u8 raw[4] = {};
    if (!GSMPlcReg_Get(raw, address, bytes * 8)) return false;
    u32 v = GetLe32(raw);
    if (bits < 32) v &= (1u << bits) - 1;
    *value = v;
    return true;
}

// Bits written for a number of this item's type.
u32 WriteBits(const MsgFieldItem& item) {
    switch (item.type) {
        case 0: return 1;
        case 1:
        case 2: return std::clamp<u32>((item.bits + 7) / 8 * 8, 8, 32);
        case 3: return item.bits == 8 ? 8 : 16;
        case 4: return 16;
        default: return 32;
    }
}

bool IsFieldChar(u8 type, char c) {
    unsigned char u = static_cast<unsigned char>(c);
    switch (type) {
        case 1: return c == '0' || c == '1';
        case 2: return std::isxdigit(u) != 0;
        case 4:
        case 6: return std::isdigit(u) != 0;
        case 7: return std::isdigit(u) != 0 || c == '-' || c == '.';
        case 8: return c != 0;
        case 9: return std::isdigit(u) != 0 || c == '.';
        case 3:
        case 5: return std::isdigit(u) != 0 || c == '-';
        default: return false;
    }
}

bool SameLetter(char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
}

// Writes the text taken for one field to its register.
bool StoreField(const MsgFieldItem& item, const char* text) {
    u8 raw[256] = {};
    u32 bits = WriteBits(item);
    u32 v = 0;
    switch (item.type) {
        case 0: v = SameLetter(text[0], 'o') && SameLetter(text[1], 'n') ? 1 : 0; break;
        case 1:
            for (const char* p = text; *p != 0; ++p) {
                if (*p != '0' && *p != '1') {
                    v = 0;
                    break;
                }
                v = (v << 1) | static_cast<u32>(*p - '0');
            }
            break;
        case 2: v = static_cast<u32>(std::strtoul(text, nullptr, 16)); break;
        case 3:
        case 4:
        case 5: v = static_cast<u32>(std::strtol(text, nullptr, 10)); break;
        case 6: v = static_cast<u32>(std::strtoul(text, nullptr, 0)); break;
        case 7: {
            float f = std::strtof(text, nullptr);
            std::memcpy(&v, &f, 4);
            break;
        }
        case 8: {
            u32 width = item.width;
            std::memcpy(raw, text, std::min<size_t>(std::strlen(text), width));
            return width == 0 || GSMPlcReg_Set(item.address, raw, width * 8) != 0;
        }
        case 9: {
            for (const char* p = text; *p != 0;) {
                v = (v << 8) | (static_cast<u32>(std::strtoul(p, nullptr, 10)) & 0xFF);
                p = std::strchr(p, '.');
                if (p == nullptr) break;
                ++p;
            }
            break;
        }
        default: return false;
    }
    PutLe32(raw, v);
    return GSMPlcReg_Set(item.address, raw, bits) != 0;
}

}  // namespace

bool MsgFmt_Item(const MsgBody& body, const MsgSection& s, u32 index, MsgFieldItem* item) {
    if (!s.tablesOk || index >= s.fieldItemCount) return false;
    u32 at = s.fieldItems + index * kFieldItemBytes;
    if (!body.Has(at, kFieldItemBytes)) return false;
    item->address = body.U32(at);
    item->bits = body.U8(at + 4);
    item->type = body.U8(at + 5);
    item->width = body.U8(at + 6);
    item->flags = body.U8(at + 7);
    item->before = body.U8(at + 8);
    return true;
}

bool FieldExtractor(const u8* list, u32 length, u32* pos, FieldPair* pair) {
    *pair = FieldPair{};
    u32 end = std::min(length, kFieldListRead);
    u32 numbers[2] = {};
    int have = 0;
    u32 i = *pos;
    while (i < end) {
        u8 c = list[i++];
        if (c >= '0' && c <= '9') {
            numbers[have] = std::min<u32>(numbers[have] * 10 + (c - '0'), 0xFFFFFF);
        } else if (c == ':' && i - 1 != 0) {
            if (++have == 2) {
                *pos = i;
                *pair = {numbers[0], numbers[1]};
                return true;
            }
        }
    }
    *pos = end;
    return false;
}

bool GetDataFromReg(const MsgFieldItem& item, char* text) {
    text[0] = 0;
    u32 v = 0;
    switch (item.type) {
        case 0:
            if (!ReadValue(item.address, 1, &v)) return false;
            std::snprintf(text, kValueTextMax, "%s", v ? " ON" : "OFF");
            return true;
        case 1: {
            // A binary text holds at most 28 digits.
            if (!ReadValue(item.address, std::min<u32>(item.bits, 28), &v)) return false;
            char digits[33];
            int n = 0;
            do {
                digits[n++] = static_cast<char>('0' + (v & 1));
                v >>= 1;
            } while (v != 0);
            for (int k = 0; k < n; ++k) text[k] = digits[n - 1 - k];
            text[n] = 0;
            return true;
        }
        case 2:
            if (!ReadValue(item.address, item.bits, &v)) return false;
            std::snprintf(text, kValueTextMax, "%x", v);
            return true;
        case 3:
            if (item.bits == 8) {
                if (!ReadValue(item.address, 8, &v)) return false;
                std::snprintf(text, kValueTextMax, "%d", static_cast<int>(static_cast<i8>(v)));
            } else {
                if (!ReadValue(item.address, 16, &v)) return false;
                std::snprintf(text, kValueTextMax, "%d", static_cast<int>(static_cast<i16>(v)));
            }
            return true;
        case 4:
            if (!ReadValue(item.address, 16, &v)) return false;
            std::snprintf(text, kValueTextMax, "%u", v);
            return true;
        case 5:
            if (!ReadValue(item.address, 32, &v)) return false;
            std::snprintf(text, kValueTextMax, "%d", static_cast<i32>(v));
            return true;
        case 6:
            if (!ReadValue(item.address, 32, &v)) return false;
            std::snprintf(text, kValueTextMax, "%u", v);
            return true;
        case 7: {
            if (!ReadValue(item.address, 32, &v)) return false;
            float f;
            std::memcpy(&f, &v, 4);
            char wide[64];
            std::snprintf(wide, sizeof wide, "%f", static_cast<double>(f));
            std::snprintf(text, kValueTextMax, "%.9s", wide);
            return true;
        }
        case 8: {
            u32 width = std::min<u32>(item.width, 31);
            u8 raw[32] = {};
            if (width == 0) return true;
            if (!GSMPlcReg_Get(raw, item.address, width * 8)) return false;
            u32 n = 0;
            while (n < width && raw[n] != 0) {
                text[n] = static_cast<char>(raw[n]);
                ++n;
            }
            text[n] = 0;
            return true;
        }
        case 9:
            if (!ReadValue(item.address, 32, &v)) return false;
            std::snprintf(text, kValueTextMax, "%u.%u.%u.%u", v >> 24, (v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
            return true;
        default: return false;
    }
}

u32 DataFormat(char* text, u32 length, u32 position, const char* value, const MsgFieldItem& item) {
    u32 valueLength = static_cast<u32>(std::strlen(value));
    char shown[kValueTextMax * 2] = {};
    std::snprintf(shown, sizeof shown, "%s", value);
    u32 width = item.type == 0 ? 3 : item.width;
    u32 before = item.before;
    u32 decimals = width > before ? width - before : 0;
    bool overflow = false;

    if (item.type == 7) {
        char* s = shown;
        if (before == 1 && s[0] == '0') ++s;
        char* point = std::strchr(s, '.');
        if (point != nullptr) {
            if (before != 0) {
                if (std::strlen(point + 1) > decimals) point[1 + decimals] = 0;
            } else {
                *point = 0;
            }
        }
        std::memmove(shown, s, std::strlen(s) + 1);
    } else if (before != 0 && item.type != 0) {
        if (valueLength >= width) {
            overflow = true;
        } else {
            const char* digits = value[0] == '-' ? value + 1 : value;
            const char* sign = value[0] == '-' ? "-" : "";
            u32 n = static_cast<u32>(std::strlen(digits));
            if (n > decimals) {
                std::snprintf(shown, sizeof shown, "%s%.*s.%s", sign, static_cast<int>(n - decimals), digits,
                              digits + (n - decimals));
            } else {
                u32 k = static_cast<u32>(std::snprintf(shown, sizeof shown, "%s%s", sign, before == 1 ? "." : "0."));
                for (u32 z = n; z < decimals && k + 1 < sizeof shown; ++z) shown[k++] = '0';
                std::snprintf(shown + k, sizeof shown - k, "%s", digits);
            }
        }
    }

    u32 shownLength = static_cast<u32>(std::strlen(shown));
    if (overflow || shownLength > width) {
        for (u32 p = position; p < length && (text[p] == 'x' || text[p] == 'X' || text[p] == '.'); ++p) text[p] = '>';
        return valueLength;
    }
    u32 pad = width - shownLength;
    char field[kValueTextMax * 4];
    u32 n = 0;
    if (pad > 0 && (item.flags & 0x01) == 0) {
        char fill = (item.flags & 0x02) != 0 ? '0' : ' ';
        for (u32 k = 0; k < pad && n < sizeof field; ++k) field[n++] = fill;
        for (u32 k = 0; k < shownLength && n < sizeof field; ++k) field[n++] = shown[k];
    } else {
        for (u32 k = 0; k < shownLength && n < sizeof field; ++k) field[n++] = shown[k];
        if ((item.flags & 0x01) != 0)
            for (u32 k = 0; k < pad && n < sizeof field; ++k) field[n++] = ' ';
    }
    for (u32 k = 0; k < n && position < length && k < length - position; ++k) text[position + k] = field[k];
    return valueLength;
}

void MsgFmt_Fill(char* text, u32 length, const u8* list, u32 listLength, const MsgBody& body,
                 const MsgSection& s) {
    if (list == nullptr) return;
    u32 pos = 0;
    FieldPair pair;
    while (pos < kFieldListRead && pos < listLength && FieldExtractor(list, listLength, &pos, &pair)) {
        MsgFieldItem item;
        char value[kValueTextMax];
        if (MsgFmt_Item(body, s, pair.item, &item) && GetDataFromReg(item, value))
            DataFormat(text, length, pair.position, value, item);
    }
}

int ParseSMS(const char* tmpl, u32 tmplLength, const u8* list, u32 listLength, char* received, u32 capacity,
             const MsgBody& body, const MsgSection& s, u8* answer) {
    *answer = 0;
    if (capacity == 0) return 0;
    struct Taken {
        MsgFieldItem item;
        char text[256];
    };
    Taken taken[kParsedFields];
    u32 takenCount = 0;
    bool firstFieldTook = false, anyField = false, literalMatched = false;

    u32 listPos = 0;
    FieldPair pair;
    bool havePair = list != nullptr && FieldExtractor(list, listLength, &listPos, &pair);
    u32 tEnd = std::min(tmplLength, kTemplateMax);
    u32 r = 0, rEnd = static_cast<u32>(strnlen(received, capacity));
    u32 t = 0;
    while (t < tEnd) {
        MsgFieldItem item;
        if (havePair && pair.position == t && MsgFmt_Item(body, s, pair.item, &item) && item.type <= 9) {
            while (r < rEnd && received[r] == ' ') ++r;
            char text[256];
            u32 n = 0;
            if (item.type == 0) {
                if (rEnd - r >= 2 && SameLetter(received[r], 'o') && SameLetter(received[r + 1], 'n')) {
                    std::memcpy(text, "ON", 2);
                    n = 2;
                } else if (rEnd - r >= 3 && SameLetter(received[r], 'o') && SameLetter(received[r + 1], 'f') &&
                           SameLetter(received[r + 2], 'f')) {
                    std::memcpy(text, "OFF", 3);
                    n = 3;
                }
                r += n;
            } else {
                while (r < rEnd && n < item.width && n < sizeof text - 1) {
                    char c = received[r];
                    if (c == '.' && item.type >= 3 && item.type <= 6) {
                        ++r;
                        continue;
                    }
                    if (!IsFieldChar(item.type, c)) break;
                    text[n++] = c;
                    ++r;
                }
            }
            text[n] = 0;
            if (!anyField) firstFieldTook = n > 0;
            anyField = true;
            if (n > 0 && takenCount < kParsedFields) {
                taken[takenCount].item = item;
                std::memcpy(taken[takenCount].text, text, n + 1);
                ++takenCount;
            }
            // A field of width 0 still moves the walk on.
            t += std::max<u32>(item.type == 0 ? 3 : item.width, 1);
            havePair = FieldExtractor(list, listLength, &listPos, &pair);
            continue;
        }
        if (havePair && pair.position < t) {
            // A field behind the walk (overlapping the previous one) is dropped.
            havePair = FieldExtractor(list, listLength, &listPos, &pair);
            continue;
        }
        if (r < rEnd && SameLetter(received[r], tmpl[t])) {
            ++r;
            ++t;
            literalMatched = true;
        } else if (r < rEnd && received[r] == ' ') {
            ++r;
        } else {
            return 0;
        }
    }
    if (!literalMatched && (rEnd == 0 || !firstFieldTook)) return 0;
    bool wantsAnswer = false;
    while (r < rEnd) {
        if (received[r] == ' ') {
            ++r;
        } else if (rEnd - r >= 2 && SameLetter(received[r], 'r') && SameLetter(received[r + 1], 'v')) {
            wantsAnswer = true;
            r += 2;
        } else {
            return 0;
        }
    }
    for (u32 i = 0; i < takenCount; ++i)
        if (!StoreField(taken[i].item, taken[i].text)) return 0;
    if (wantsAnswer) {
        u32 n = std::min(tmplLength, capacity - 1);
        std::memcpy(received, tmpl, n);
        received[n] = 0;
        MsgFmt_Fill(received, n, list, listLength, body, s);
        *answer = 1;
    }
    return 1;
}
