// Reading a megabyte of XML (a table of 8,000 rows with attributes and
// contents) into a tree of the application heap, beside libexpat reading
// the same text with handlers that only count what they see; and writing
// the tree back out.
#include <benchmark/benchmark.h>
#include <expat.h>

#include <string>

#include "iec/ext/q4xmlprs.h"
#include "iec/ext/q4xmltag.h"
#include "iec/ext/q4xmlwr.h"
#include "iec/kernel/q4vmdb.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"

namespace {

const std::string& Document() {
    static const std::string doc = [] {
        std::string d = "<?xml version=\"1.0\"?>\n<table name=\"recipes &amp; steps\">\n";
        for (int i = 0; d.size() < (1u << 20) - 200; ++i)
            d += "  <row id=\"" + std::to_string(i) + "\" unit=\"&lt;mm&gt;\"><step>" + std::to_string(i * 7) +
                 "</step><note>text of row " + std::to_string(i) + "</note></row>\n";
        return d + "</table>\n";
    }();
    return doc;
}

IecVmDb& Db() {
    static IecVmDb db([] {
        IecImageBuilder b;
        b.HeapSize(16 << 20);  // the tree of a megabyte needs room
        b.Var(kQ4TypeDint);
        return b.Build();
    }());
    return db;
}

void ParseToTree(benchmark::State& state) {
    const std::string& doc = Document();
    u8* db = Db().Db();
    for (auto _ : state) {
        u32 root = Q4XmlPrs_ParseText(db, doc);
        if (!root) state.SkipWithError("the document did not parse");
        // A fresh heap for the next round (freeing and compacting are not
        // what is measured here).
        state.PauseTiming();
        Q4VM_AllocHeap(Db().Code(), db, 0);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<i64>(doc.size()));
}

void ParseWithExpat(benchmark::State& state) {
    const std::string& doc = Document();
    struct Counts {
        long elements = 0, text = 0;
    } counts;
    for (auto _ : state) {
        XML_Parser p = XML_ParserCreate(nullptr);
        XML_SetUserData(p, &counts);
        XML_SetElementHandler(
            p, [](void* u, const XML_Char*, const XML_Char**) { ++static_cast<Counts*>(u)->elements; },
            [](void*, const XML_Char*) {});
        XML_SetCharacterDataHandler(p, [](void* u, const XML_Char*, int n) { static_cast<Counts*>(u)->text += n; });
        if (XML_Parse(p, doc.data(), static_cast<int>(doc.size()), 1) != XML_STATUS_OK)
            state.SkipWithError("expat refused the document");
        XML_ParserFree(p);
    }
    benchmark::DoNotOptimize(counts);
    state.SetBytesProcessed(state.iterations() * static_cast<i64>(doc.size()));
}

void WriteTree(benchmark::State& state) {
    u8* db = Db().Db();
    Q4VM_AllocHeap(Db().Code(), db, 0);
    u32 root = Q4XmlPrs_ParseText(db, Document());
    size_t bytes = 0;
    for (auto _ : state) {
        std::string out = Q4XmlWr_Document(db, root);
        bytes = out.size();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<i64>(bytes));
}

BENCHMARK(ParseToTree)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(ParseWithExpat)->Unit(benchmark::kMillisecond);
BENCHMARK(WriteTree)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
