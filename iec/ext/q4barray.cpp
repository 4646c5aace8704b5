#include "iec/ext/q4barray.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <numeric>
#include <type_traits>
#include <vector>

#include "iec/kernel/q4fbstd.h"
#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmstr.h"

namespace {

// A VM string holds at most 255 characters: length byte, text and NUL fit.
constexpr u32 kStrBuf = 257;

template <class T>
T Load(const u8* p) {
    if constexpr (sizeof(T) == 1) return std::bit_cast<T>(p[0]);
    else if constexpr (sizeof(T) == 2) return std::bit_cast<T>(GetLe16(p));
    else if constexpr (sizeof(T) == 4) return std::bit_cast<T>(GetLe32(p));
    else return std::bit_cast<T>(GetLe64(p));
}

template <class T>
void Store(u8* p, T v) {
    if constexpr (sizeof(T) == 1) p[0] = std::bit_cast<u8>(v);
    else if constexpr (sizeof(T) == 2) PutLe16(p, std::bit_cast<u16>(v));
    else if constexpr (sizeof(T) == 4) PutLe32(p, std::bit_cast<u32>(v));
    else PutLe64(p, std::bit_cast<u64>(v));
}

// Calls f with a value of the element's host type (its comparison group) for
// the numeric type codes; false for STRING and every other code.
template <class F>
bool Numeric(u16 type, F&& f) {
    switch (type) {
        case kQ4TypeBool:
        case kQ4TypeUsint: f(u8{}); return true;
        case kQ4TypeSint: f(i8{}); return true;
        case kQ4TypeInt: f(i16{}); return true;
        case kQ4TypeUint: f(u16{}); return true;
        case kQ4TypeDint: f(i32{}); return true;
        case kQ4TypeTime:
        case kQ4TypeUdint: f(u32{}); return true;
        case kQ4TypeReal: f(float{}); return true;
        case kQ4TypeLint: f(i64{}); return true;
        case kQ4TypeUlint: f(u64{}); return true;
        case kQ4TypeLreal: f(double{}); return true;
        default: return false;
    }
}

template <class T>
bool IsNan(T v) {
    if constexpr (std::is_floating_point_v<T>) return std::isnan(v);
    else return false;
}

// A located array: numbers (elements of their type's size), a run of equal VM
// strings (stride = capacity of the first + 3), or a type outside the table
// (found, never read or written).
struct Array {
    u8* first = nullptr;
    u32 stride = 0;
    bool string = false;
};

// Locates `count` elements (at least one: ARMIN and ARMAX read element 0
// whatever the count) and checks that they lie whole in their table or in the
// CT segment.
bool Locate(u8* db, u16 type, u16 index, u32 count, Array* a) {
    count = std::max<u32>(count, 1);
    *a = Array{};
    if (type == kQ4TypeString) {
        u8* first = Q4Tools_GetAnyArray(db, type, index);
        const u32 area = Q4Tools_HasCtSegment(db) ? u32{kDbCtSegment} : u32{kDbStringBuffer};
        u32 bytes = 0;
        u8* base = Q4VM_AreaPtr(db, area, &bytes);
        if (!first || !base || first < base) return false;
        const u64 at = static_cast<u64>(first - base);
        if (at + kQ4StrOverhead > bytes) return false;
        const u32 stride = first[0] + 3u;
        if (at + static_cast<u64>(count) * stride > bytes) return false;
        *a = Array{first, stride, true};
        return true;
    }
    if (Numeric(type, [](auto) {})) {
        a->first = Q4Fb_Array(db, type, index, count);
        a->stride = Q4Type_Size(type);
        return a->first != nullptr;
    }
    a->first = Q4Tools_GetAnyArray(db, type, index);
    return a->first != nullptr;
}

// String element k of a run: its length is cut to the first element's
// capacity, which every element of the run shares.
struct Text {
    const u8* text;
    u32 length;
};
Text Element(const Array& a, u32 k) {
    const u8* s = a.first + static_cast<u64>(k) * a.stride;
    return Text{s + 2, std::min<u32>(s[1], a.first[0])};
}
void PutElement(const Array& a, u32 k, const u8* text, u32 length) {
    u8* s = a.first + static_cast<u64>(k) * a.stride;
    s[1] = static_cast<u8>(length);
    std::memmove(s + 2, text, length);
    s[2 + length] = 0;
}

// Byte order over the shorter text; a prefix is smaller.
int Compare(Text a, Text b) {
    const int c = std::memcmp(a.text, b.text, std::min(a.length, b.length));
    if (c != 0) return c;
    return a.length < b.length ? -1 : a.length > b.length ? 1 : 0;
}

// A string kept aside (length and text) while elements move.
struct Held {
    u8 text[kStrBuf];
    u32 length = 0;
    Text View() const { return Text{text, length}; }
    void Take(Text t) {
        std::memmove(text, t.text, t.length);
        length = t.length;
    }
};

void PutString(u8* s, Text t) {
    const u32 n = std::min<u32>(t.length, s[0]);
    s[1] = static_cast<u8>(n);
    std::memmove(s + 2, t.text, n);
    s[2 + n] = 0;
}

u16 OperandCount(const u16* ops) { return ops ? ops[-1] : 0; }

u8* Param(u8* db, u16 type, u16 index) { return Q4Tools_GetAnyParam(db, type, index, nullptr, nullptr); }

int Other(int command) { return command == kFbAnyType ? 1 : 0; }

// Ascending; REAL and LREAL NaN elements keep their positions and the other
// elements are sorted into the remaining ones.
template <class T>
void SortNumbers(u8* first, u32 n) {
    std::vector<T> v;
    v.reserve(n);
    for (u32 k = 0; k < n; ++k) {
        const T x = Load<T>(first + static_cast<u64>(k) * sizeof(T));
        if (!IsNan(x)) v.push_back(x);
    }
    std::stable_sort(v.begin(), v.end());
    size_t j = 0;
    for (u32 k = 0; k < n; ++k) {
        u8* p = first + static_cast<u64>(k) * sizeof(T);
        if (!IsNan(Load<T>(p))) Store(p, v[j++]);
    }
}

// Sorts the texts of a run of strings; the capacity bytes stay.
void SortStrings(const Array& a, u32 n) {
    std::vector<u32> order(n);
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(),
                     [&](u32 x, u32 y) { return Compare(Element(a, x), Element(a, y)) < 0; });
    // Position k takes the text of element order[k]: follow each cycle of the
    // permutation with one string held aside.
    std::vector<bool> done(n, false);
    Held held;
    for (u32 s = 0; s < n; ++s) {
        if (done[s] || order[s] == s) continue;
        held.Take(Element(a, s));
        u32 j = s;
        while (order[j] != s) {
            const Text t = Element(a, order[j]);
            PutElement(a, j, t.text, t.length);
            done[j] = true;
            j = order[j];
        }
        PutElement(a, j, held.text, held.length);
        done[j] = true;
    }
}

bool Equal(u16 type, const u8* a, const u8* b) {
    if (type == kQ4TypeLreal) return Load<double>(a) == Load<double>(b);
    return std::memcmp(a, b, Q4Type_Size(type)) == 0;
}

// ARFIND (find) and ARCOUNT: index of the first equal element at or after the
// start, or the number of equal elements from the start on.
int FindOrCount(int command, u8* db, const u16* ops, bool find) {
    if (command != kFbExecute) return Other(command);
    if (OperandCount(ops) < 6) return 0;
    const u16 type = ops[0];
    const u32 n = ops[2];
    u8* result = Param(db, kQ4TypeDint, ops[5]);
    i32 answer = find ? -1 : 0;
    Array a;
    const u8* value = Param(db, type, ops[3]);
    const u8* start = Param(db, kQ4TypeDint, ops[4]);
    const i32 from = start ? static_cast<i32>(GetLe32(start)) : -1;
    if (value && from >= 0 && static_cast<u32>(from) < n && Locate(db, type, ops[1], n, &a) &&
        (a.string || a.stride != 0)) {
        Text want{};
        if (a.string) want = Text{value + 2, Q4Str_GetLength(value)};
        for (u32 k = static_cast<u32>(from); k < n; ++k) {
            const bool eq = a.string ? Compare(Element(a, k), want) == 0
                                     : Equal(type, a.first + static_cast<u64>(k) * a.stride, value);
            if (!eq) continue;
            if (find) {
                answer = static_cast<i32>(k);
                break;
            }
            ++answer;
        }
    }
    if (result) PutLe32(result, static_cast<u32>(answer));
    return 0;
}

int Extreme(int command, u8* db, const u16* ops, bool max) {
    if (command != kFbExecute) return Other(command);
    if (OperandCount(ops) < 4) return 0;
    const u16 type = ops[0];
    const u32 n = ops[2];
    Array a;
    u8* out = Param(db, type, ops[3]);
    if (!out || !Locate(db, type, ops[1], n, &a)) return 0;
    if (a.string) {
        Held best;
        if (!max) best.Take(Element(a, 0));
        for (u32 k = 0; k < n; ++k) {
            const Text t = Element(a, k);
            const int c = Compare(t, best.View());
            if (max ? c > 0 : c < 0) best.Take(t);
        }
        PutString(out, best.View());
        return 0;
    }
    Numeric(type, [&](auto tag) {
        using T = decltype(tag);
        T best = Load<T>(a.first);
        for (u32 k = 1; k < n; ++k) {
            const T x = Load<T>(a.first + static_cast<u64>(k) * sizeof(T));
            if (max ? x > best : x < best) best = x;
        }
        Store(out, best);
    });
    return 0;
}

}  // namespace

int Q4BArray_Sort(int command, u8* db, u8*, u8*, const u16* ops) {
    if (command != kFbExecute) return Other(command);
    if (OperandCount(ops) < 4) return 0;
    const u16 type = ops[0];
    const u32 n = ops[2];
    Array a;
    const bool found = Locate(db, type, ops[1], n, &a);
    if (u8* r = Param(db, kQ4TypeBool, ops[3])) *r = found ? 1 : 0;
    if (!found || n < 2) return 0;
    if (a.string) {
        SortStrings(a, n);
        return 0;
    }
    Numeric(type, [&](auto tag) { SortNumbers<decltype(tag)>(a.first, n); });
    return 0;
}

int Q4BArray_Min(int command, u8* db, u8*, u8*, const u16* ops) { return Extreme(command, db, ops, false); }
int Q4BArray_Max(int command, u8* db, u8*, u8*, const u16* ops) { return Extreme(command, db, ops, true); }

int Q4BArray_Fill(int command, u8* db, u8*, u8*, const u16* ops) {
    if (command != kFbExecute) return Other(command);
    if (OperandCount(ops) < 5) return 0;
    const u16 type = ops[0];
    const u32 n = ops[2];
    Array a;
    const u8* value = Param(db, type, ops[3]);
    const bool found = value && Locate(db, type, ops[1], n, &a);
    if (u8* r = Param(db, kQ4TypeBool, ops[4])) *r = found ? 1 : 0;
    if (!found || n == 0) return 0;
    if (a.string) {
        // The value may be an element of the array: keep it aside first.
        Held v;
        v.Take(Text{value + 2, std::min<u32>(Q4Str_GetLength(value), a.first[0])});
        for (u32 k = 0; k < n; ++k) PutElement(a, k, v.text, v.length);
        return 0;
    }
    Numeric(type, [&](auto tag) {
        using T = decltype(tag);
        const T v = Load<T>(value);
        for (u32 k = 0; k < n; ++k) Store(a.first + static_cast<u64>(k) * sizeof(T), v);
    });
    return 0;
}

int Q4BArray_Find(int command, u8* db, u8*, u8*, const u16* ops) { return FindOrCount(command, db, ops, true); }
int Q4BArray_Count(int command, u8* db, u8*, u8*, const u16* ops) { return FindOrCount(command, db, ops, false); }
