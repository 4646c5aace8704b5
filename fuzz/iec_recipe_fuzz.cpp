// Feeds damaged recipe sections to RCPAPPLY's reader: edits of a code image
// whose recipes reach plain, string, CT-segment and external variables, so
// that no offset, count, index or text of a recipe can make the runtime read
// outside the image or write outside a variable.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "iec/kernel/q4stfvar.h"
#include "iec/kernel/q4vmcode.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"

namespace {

struct Seed {
    std::vector<u8> image;
    u32 recipes = 0;  // offset of the recipe directory
};

const Seed& GetSeed() {
    static const Seed seed = [] {
        IecImageBuilder b;
        const u16 d = b.Var(kQ4TypeDint, 1), i = b.Var(kQ4TypeInt, 2), s = b.String(5, "s"), l = b.Lreal(1.0);
        const u16 t = b.Var(kQ4TypeDint, 3), x = b.External(kQ4TypeDint, t);
        b.CtSegment(32, 32);
        b.Recipe(2, {{kQ4TypeDint, d, 0, {100, 101}, {}},
                     {kQ4TypeInt, i, 0, {200, 201}, {}},
                     {kQ4TypeString, s, 0, {}, {"zero", "one-too-long"}},
                     {kQ4TypeLreal, l, 0, {1, 2}, {}},
                     {kQ4TypeReal, 0, 8, {3, 4}, {}},
                     {static_cast<u16>(kQ4TypeDint | kQ4TypeExternal), x, 0, {5, 6}, {}}});
        b.Recipe(1, {{kQ4TypeString, s, 4, {}, {"ct"}}});
        Seed out;
        out.image = b.Build();
        out.recipes = Q4VMCode_GetRecipes(Q4Code{out.image.data(), static_cast<u32>(out.image.size())});
        return out;
    }();
    return seed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const Seed& seed = GetSeed();
    std::vector<u8> img = seed.image;
    // (u8 offset from the recipe directory, byte) edits: the recipe section
    // runs from there to near the end of the image.
    const u32 span = static_cast<u32>(img.size()) - seed.recipes;
    for (size_t k = 2; k + 1 < size && k < 2 + 2 * 16; k += 2) img[seed.recipes + data[k] % span] = data[k + 1];
    IecVmDb db(img);
    if (db.Result() != 0) return 0;
    Q4StfVar_ApplyRecipe(db.Db(), data[0] % 3, data[1] % 3);
    return 0;
}
