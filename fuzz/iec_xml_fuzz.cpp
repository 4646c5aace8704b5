// Feeds XML text to the reader of the XML blocks, which takes documents from
// files and peers: whatever the text, the reader never runs past it, never
// exhausts the stack, and leaves either a whole tree or nothing. A tree it
// builds, written out and read again, gives the same text, and freeing the
// trees gives every tag back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "iec/ext/q4xmlprs.h"
#include "iec/ext/q4xmltag.h"
#include "iec/ext/q4xmlwr.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"

namespace {

IecVmDb& Db() {
    static IecVmDb db([] {
        IecImageBuilder b;
        b.HeapSize(256 * 1024);
        b.Var(kQ4TypeDint);
        return b.Build();
    }());
    return db;
}

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    u8* db = Db().Db();
    std::string_view text(reinterpret_cast<const char*>(data), size);
    u32 before = Q4XML_Count(db);
    u32 root = Q4XmlPrs_ParseText(db, text);
    if (!root) {
        Check(Q4XML_Count(db) == before);
        Check(Q4XML_LastError(db) == kXmlSyntax || Q4XML_LastError(db) == kXmlNoMemory);
        return 0;
    }
    std::string written = Q4XmlWr_Document(db, root);
    u32 again = Q4XmlPrs_ParseText(db, written);
    if (again) {
        Check(Q4XmlWr_Document(db, again) == written);
        Q4XmlTag_FreeTree(db, again);
    } else {
        Check(Q4XML_LastError(db) == kXmlNoMemory);
    }
    Q4XmlTag_FreeTree(db, root);
    Check(Q4XML_Count(db) == before);
    return 0;
}
