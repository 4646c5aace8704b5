// XML documents through their blocks: good and damaged documents, random
// documents read as Python's xml.etree reads them, written documents that
// xmllint accepts, files, symbols, and the operator menus a program walks.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "iec/ext/q4xml.h"
#include "iec/ext/q4xmlprs.h"
#include "iec/ext/q4xmltag.h"
#include "iec/ext/q4xmlwr.h"
#include "testsupport/shell.h"
#include "testsupport/temp_root.h"
#include "txb_fixture.h"

namespace {

constexpr char kHeader[] = "<?xml version=\"1.0\" standalone=\"yes\"?>";

class Xml : public Txb {
protected:
    Xml() : Txb(1 << 20) {}
    // Parses text through XMLPARSEDOCTXB: the root (0 on failure).
    u32 Parse(const std::string& text) {
        u32 xs = Q4XS_Alloc(Db(), 0, text.c_str());
        EXPECT_NE(xs, 0u);
        fb.SetD(fb.D(10), static_cast<i32>(xs));
        Run(Q4Xml_ParseDocTxb, {fb.D(10), fb.D(11)});
        Q4XS_Free(Db(), xs);
        return static_cast<u32>(fb.GetD(fb.D(11)));
    }
    i32 XmlError() {
        Run(Q4Xml_LastError, {fb.D(22)});
        return fb.GetD(fb.D(22));
    }
    i32 Count() {
        Run(Q4Xml_Manager, {fb.B(5), fb.D(21), fb.D(22)});
        return fb.GetD(fb.D(21));
    }
    std::string Contents(u32 tag) {
        Q4XmlTagRec r;
        return Q4XmlTag_Get(Db(), tag, &r) ? Q4XmlTag_Text(Db(), r.contents) : "<no tag>";
    }
    std::string Name(u32 tag) {
        Q4XmlTagRec r;
        return Q4XmlTag_Get(Db(), tag, &r) ? Q4XmlTag_Text(Db(), r.name) : "<no tag>";
    }
    // The tree in the form tests/iecfb/xml_reference.py prints.
    std::string Canon(u32 tag) {
        auto j = [](const std::string& s) {
            std::string o = "\"";
            for (char c : s) {
                if (c == '"' || c == '\\') o += '\\';
                if (c == '\n') o += "\\n";
                else o += c;
            }
            return o + "\"";
        };
        std::string out = "[" + j(Name(tag)) + ", [";
        bool first = true;
        for (const Q4XmlAttr& a : Q4XmlTag_Attribs(Db(), tag)) {
            out += (first ? "[" : ", [") + j(a.name) + ", " + j(a.value) + "]";
            first = false;
        }
        out += "], " + j(Contents(tag)) + ", [";
        first = true;
        for (u32 c : Q4XmlTag_Children(Db(), tag)) {
            out += (first ? "" : ", ") + Canon(c);
            first = false;
        }
        return out + "]]";
    }
};

TEST_F(Xml, GoodAndDamagedDocuments) {
    // Attribute with an entity, an empty child, contents after it.
    u32 a = Parse("<a x=\"1 &lt; 2\"><b/>t</a>");
    ASSERT_NE(a, 0u);
    EXPECT_EQ(XmlError(), 0);
    EXPECT_EQ(Canon(a), R"(["a", [["x", "1 < 2"]], "t", [["b", [], "", []]]])");
    // The contents of a tag with children are not written.
    EXPECT_EQ(Q4XmlWr_Document(Db(), a), std::string(kHeader) + "<a x=\"1 &lt; 2\"><b/></a>");

    struct Case {
        std::string text;
        std::string canon;  // empty: the parse fails
        i32 error;
    };
    const std::string v511(511, 'v');
    const std::vector<Case> cases = {
        {"<?xml version=\"1.0\"?>\n<r a=\"1\" b = \"&quot;&amp;&apos;&gt;\">x</R>", R"(["r", [["a", "1"], ["b", "\"&'>"]], "x", []])", 0},
        {"<a>x<!-- note -->y</a>", R"(["a", [], "x", []])", 0},
        {"<a>&nosuch;</a>", R"(["a", [], "", []])", 0},
        {"<a>ab&nosuch;cd</a>", R"(["a", [], "ab", []])", 0},
        {"<a v=\"" + v511 + "\"/>", "[\"a\", [[\"v\", \"" + v511 + "\"]], \"\", []]", 0},
        {"text <> before<a/>after", R"(["a", [], "", []])", 0},
        {"<a x='1'/>", "", 7},
        {"<a v=\"" + v511 + "w\"/>", "", 7},
        {"<?xml version=\"1.0\"?>", "", 7},
        {"only text", "", 7},
        {"", "", 7},
        {"<a><b></a>", "", 7},
        {"<a><b/></c>", "", 7},
        {"<a", "", 7},
        {"<a x=\"1\"", "", 7},
        {"<a x=\"1>", "", 7},
        {"<a x>", "", 7},
        {"<a>never closed", "", 7},
        {"<a/ >", "", 7},
        {"<a>&amp</a>", "", 7},
        {"<a x=\"&bad;\"/>", "", 7},
        {"<" + std::string(512, 'n') + "/>", "", 7},
    };
    for (const Case& c : cases) {
        i32 before = Count();
        u32 t = Parse(c.text);
        if (c.canon.empty()) {
            EXPECT_EQ(t, 0u) << c.text;
            EXPECT_EQ(Count(), before) << "a failed parse leaves nothing: " << c.text;
        } else {
            ASSERT_NE(t, 0u) << c.text;
            EXPECT_EQ(Canon(t), c.canon) << c.text;
        }
        EXPECT_EQ(XmlError(), c.error) << c.text;
    }

    // An invalid text buffer: 6.
    fb.SetD(fb.D(10), 12345);
    Run(Q4Xml_ParseDocTxb, {fb.D(10), fb.D(11)});
    EXPECT_EQ(fb.GetD(fb.D(11)), 0);
    EXPECT_EQ(XmlError(), 6);
}

TEST_F(Xml, DeepNestingIsRefusedWithoutExhaustingTheStack) {
    std::string ok, deep;
    for (u32 i = 0; i < 200; ++i) ok += "<n>";
    for (u32 i = 0; i < 200; ++i) ok += "</n>";
    EXPECT_NE(Parse(ok), 0u);
    for (u32 i = 0; i < 100000; ++i) deep += "<n>";
    i32 before = Count();
    EXPECT_EQ(Parse(deep), 0u);
    EXPECT_EQ(XmlError(), 7);
    EXPECT_EQ(Count(), before);

    // A tree built deeper by the program is written and freed all the same.
    u32 root = Q4XML_Alloc(Db(), "d");
    u32 t = root;
    for (u32 i = 0; i < 10000 && t; ++i) t = Q4XML_AddChild(Db(), t, "d");
    ASSERT_NE(t, 0u);
    std::string doc = Q4XmlWr_Tag(Db(), root);
    EXPECT_EQ(doc.size(), 10000u * 7 + 4);
    fb.SetD(fb.D(0), static_cast<i32>(root));
    i32 n = Count();
    Run(Q4Xml_FreeDoc, {fb.D(0), fb.B(0)});
    EXPECT_TRUE(Ok());
    EXPECT_EQ(Count(), n - 10001);
}

TEST_F(Xml, RandomDocumentsReadAsXmlEtreeReadsThem) {
    TempRoot root;
    std::mt19937 rng(30);
    auto pick = [&](u32 n) { return static_cast<u32>(rng() % n); };
    const std::vector<std::string> names = {"a", "item", "Row", "x1", "data_set", "k"};
    const std::vector<std::string> attrNames = {"id", "name", "v", "Unit", "w2"};
    const std::vector<std::string> pieces = {"abc", " ", "Z9", "&lt;", "&gt;", "&amp;", "&quot;", "&apos;", "\n", "'", "\""};
    std::function<std::string(u32)> element = [&](u32 depth) {
        std::string name = names[pick(static_cast<u32>(names.size()))];
        std::string s = "<" + name;
        std::vector<std::string> left = attrNames;
        for (u32 n = pick(4); n > 0; --n) {
            u32 k = pick(static_cast<u32>(left.size()));
            s += (pick(2) ? " " : "  ") + left[k] + (pick(2) ? "=" : " = ") + "\"";
            for (u32 p = pick(4); p > 0; --p) {
                const std::string& piece = pieces[pick(8)];
                s += piece == "\n" ? " " : piece;
            }
            s += "\"";
            left.erase(left.begin() + k);
        }
        u32 children = depth < 4 ? pick(4) : 0;
        if (children == 0 && pick(3) == 0) return s + (pick(2) ? "/>" : " />");
        s += ">";
        for (u32 c = 0; c <= children; ++c) {
            for (u32 p = pick(3); p > 0; --p) s += pieces[pick(static_cast<u32>(pieces.size()))];
            if (c < children) {
                if (pick(4) == 0) s += "<!-- a note -->";
                s += element(depth + 1);
            }
        }
        return s + "</" + name + ">";
    };
    std::vector<std::string> docs, files;
    std::string args;
    for (u32 i = 0; i < 60; ++i) {
        docs.push_back((pick(2) ? "<?xml version=\"1.0\"?>\n" : "") + element(0));
        files.push_back(root.Dir() + "/doc" + std::to_string(i) + ".xml");
        std::ofstream(files.back()) << docs.back();
        args += " " + files.back();
    }
    int status = 0;
    std::string out = Shell("/usr/bin/python3 " PLC_SOURCE_DIR "/tests/iecfb/xml_reference.py" + args, &status);
    ASSERT_EQ(status, 0) << out;
    std::istringstream lines(out);
    std::string written;
    for (u32 i = 0; i < docs.size(); ++i) {
        std::string want;
        ASSERT_TRUE(std::getline(lines, want));
        ASSERT_NE(want, "error") << docs[i];
        u32 t = Parse(docs[i]);
        ASSERT_NE(t, 0u) << docs[i];
        EXPECT_EQ(Canon(t), want) << docs[i];
        // What the writer makes of it is well-formed XML.
        std::ofstream(files[i]) << Q4XmlWr_Document(Db(), t);
        Q4XML_Free(Db(), t);
    }
    std::string lint = Shell("xmllint --noout" + args + " 2>&1", &status);
    EXPECT_EQ(status, 0) << lint;
}

TEST_F(Xml, BlocksBuildSearchAndEditATree) {
    SetStr(kS80, "doc");
    Run(Q4Xml_NewDoc, {kS80, fb.D(0)});
    ASSERT_NE(fb.GetD(fb.D(0)), 0);
    for (const char* n : {"a", "b", "b"}) {
        SetStr(kS80, n);
        Run(Q4Xml_AddChild, {fb.D(0), kS80, fb.D(1)});
        ASSERT_NE(fb.GetD(fb.D(1)), 0);
    }
    EXPECT_EQ(Count(), 4);
    // First child named B (ignoring case), then the next b.
    SetStr(kS80, "B");
    Run(Q4Xml_FirstChild, {fb.D(0), kS80, fb.D(2)});
    EXPECT_EQ(Name(static_cast<u32>(fb.GetD(fb.D(2)))), "b");
    Run(Q4Xml_NextChild, {fb.D(0), fb.D(2), kS80, fb.D(3)});
    EXPECT_EQ(fb.GetD(fb.D(3)), fb.GetD(fb.D(1)));
    Run(Q4Xml_NextChild, {fb.D(0), fb.D(3), kS80, fb.D(4)});
    EXPECT_EQ(fb.GetD(fb.D(4)), 0);
    EXPECT_EQ(XmlError(), 0);
    // A parent that is not the tag's parent: 0 and 4.
    Run(Q4Xml_NextChild, {fb.D(2), fb.D(3), kS80, fb.D(4)});
    EXPECT_EQ(fb.GetD(fb.D(4)), 0);
    EXPECT_EQ(XmlError(), 4);
    Run(Q4Xml_GetParent, {fb.D(2), fb.D(5)});
    EXPECT_EQ(fb.GetD(fb.D(5)), fb.GetD(fb.D(0)));
    SetStr(kS80, "DOC");
    Run(Q4Xml_CheckTagName, {fb.D(0), kS80, fb.B(1)});
    EXPECT_TRUE(fb.GetB(fb.B(1)));

    // Contents and attributes as STRING and DINT.
    SetStr(kS80, "123456789012");
    Run(Q4Xml_SetTagCont, {kQ4TypeString, fb.D(2), kS80, fb.B(0)});
    EXPECT_TRUE(Ok());
    Run(Q4Xml_GetTagCont, {kQ4TypeString, fb.D(2), kS10, fb.B(0)});
    EXPECT_EQ(Str(kS10), "123456789") << "capacity 10: at most 9 characters";
    Run(Q4Xml_GetTagCont, {kQ4TypeDint, fb.D(1), fb.D(6), fb.B(0)});
    EXPECT_TRUE(Ok()) << "a tag without contents reads as empty";
    SetStr(kS4, "1234");
    Run(Q4Xml_SetTagCont, {kQ4TypeString, fb.D(1), kS4, fb.B(0)});
    Run(Q4Xml_GetTagCont, {kQ4TypeDint, fb.D(1), fb.D(6), fb.B(0)});
    EXPECT_EQ(fb.GetD(fb.D(6)), 1234);
    fb.SetD(fb.D(7), -42);
    SetStr(kS80, "Count");
    Run(Q4Xml_SetTagAttrib, {kQ4TypeDint, fb.D(2), kS80, fb.D(7), fb.B(0)});
    EXPECT_TRUE(Ok());
    SetStr(kS80, "count");
    Run(Q4Xml_GetTagAttrib, {kQ4TypeDint, fb.D(2), kS80, fb.D(8), fb.B(0)});
    EXPECT_TRUE(Ok());
    EXPECT_EQ(fb.GetD(fb.D(8)), -42);
    SetStr(kS80, "missing");
    SetStr(kS10, "old");
    Run(Q4Xml_GetTagAttrib, {kQ4TypeString, fb.D(2), kS80, kS10, fb.B(0)});
    EXPECT_FALSE(Ok());
    EXPECT_EQ(Str(kS10), "");
    EXPECT_EQ(XmlError(), 0);

    // Contents through text buffers.
    Run(Q4Xml_GetTagContT, {fb.D(2), fb.D(9)});
    EXPECT_EQ(Text(static_cast<u32>(fb.GetD(fb.D(9)))), "123456789012");
    Q4XS_Set(Db(), static_cast<u32>(fb.GetD(fb.D(9))), "from buffer", 11);
    Run(Q4Xml_SetTagContT, {fb.D(2), fb.D(9), fb.B(0)});
    EXPECT_EQ(Contents(static_cast<u32>(fb.GetD(fb.D(2)))), "from buffer");
    fb.SetD(fb.D(12), 99999);
    Run(Q4Xml_SetTagContT, {fb.D(2), fb.D(12), fb.B(0)});
    EXPECT_FALSE(Ok());
    EXPECT_EQ(XmlError(), 6);

    // Written into a text buffer; an invalid buffer gives 5 and text error 4.
    Run(Q4Xml_WriteDocTxb, {fb.D(0), fb.D(9), fb.B(0)});
    EXPECT_TRUE(Ok());
    EXPECT_EQ(Text(static_cast<u32>(fb.GetD(fb.D(9)))),
              std::string(kHeader) + "<doc><a/><b Count=\"-42\">from buffer</b><b>1234</b></doc>");
    Run(Q4Xml_WriteDocTxb, {fb.D(0), fb.D(12), fb.B(0)});
    EXPECT_FALSE(Ok());
    EXPECT_EQ(XmlError(), 5);
    EXPECT_EQ(Q4XS_LastError(Db()), 4u);

    // Freeing a child unlinks it; freeing the document frees the rest.
    Run(Q4Xml_FreeDoc, {fb.D(2), fb.B(0)});
    EXPECT_TRUE(Ok());
    EXPECT_EQ(Count(), 3);
    EXPECT_EQ(Q4XmlWr_Tag(Db(), static_cast<u32>(fb.GetD(fb.D(0)))), "<doc><a/><b>1234</b></doc>");
    Run(Q4Xml_GetTagName, {fb.D(2), kS80});
    EXPECT_EQ(Str(kS80), "");
    EXPECT_EQ(XmlError(), 4);
    Run(Q4Xml_FreeDoc, {fb.D(0), fb.B(0)});
    EXPECT_EQ(Count(), 0);
}

TEST_F(Xml, ContentsKeepTheirOldTextWhenTheHeapIsFull) {
    u16 arr2 = 0;
    FbDb small = MakeDb(2048, &arr2);
    u8* db = small.Db();
    u32 t = Q4XML_Alloc(db, "t");
    ASSERT_NE(t, 0u);
    ASSERT_TRUE(Q4XML_SetTagContents(db, t, "old"));
    std::string big(4000, 'x');
    EXPECT_FALSE(Q4XML_SetTagContents(db, t, big.c_str()));
    EXPECT_EQ(Q4XML_LastError(db), 5u);
    Q4XmlTagRec r;
    ASSERT_TRUE(Q4XmlTag_Get(db, t, &r));
    EXPECT_EQ(Q4XmlTag_Text(db, r.contents), "old");
    EXPECT_FALSE(Q4XML_AppendContents(db, t, big.c_str()));
    ASSERT_TRUE(Q4XmlTag_Get(db, t, &r));
    EXPECT_EQ(Q4XmlTag_Text(db, r.contents), "old");
}

TEST_F(Xml, DocumentsInFiles) {
    TempRoot root;
    u32 doc = Parse("<cfg><p n=\"a&amp;b\">1</p><p n=\"c\">2</p></cfg>");
    ASSERT_NE(doc, 0u);
    fb.SetD(fb.D(0), static_cast<i32>(doc));
    SetStr(kS80, "/mnt/cfg/cfg.xml");
    Run(Q4Xml_WriteDocFile, {fb.D(0), kS80, fb.B(0)});
    EXPECT_TRUE(Ok());
    EXPECT_EQ(XmlError(), 0);
    int status = 0;
    std::string lint = Shell("xmllint --noout " + root.Path("/mnt/cfg/cfg.xml") + " 2>&1", &status);
    EXPECT_EQ(status, 0) << lint;
    Run(Q4Xml_ParseDocFile, {kS80, fb.D(1)});
    ASSERT_NE(fb.GetD(fb.D(1)), 0);
    EXPECT_EQ(Canon(static_cast<u32>(fb.GetD(fb.D(1)))), Canon(doc));

    SetStr(kS80, "/mnt/cfg/missing.xml");
    Run(Q4Xml_ParseDocFile, {kS80, fb.D(1)});
    EXPECT_EQ(fb.GetD(fb.D(1)), 0);
    EXPECT_EQ(XmlError(), 8);
    SetStr(kS80, "/mnt/cfg/no/folder/x.xml");
    Run(Q4Xml_WriteDocFile, {fb.D(0), kS80, fb.B(0)});
    EXPECT_FALSE(Ok());
    EXPECT_EQ(XmlError(), 9);
}

TEST(XmlSymbols, VariablesAreReadAndWrittenByNameAsText) {
    IecImageBuilder b;
    b.HeapSize(4096);
    u16 sym = b.String(80), val = b.String(80);
    b.String(6, "", Sym("Label"));
    u16 speed = b.Var(kQ4TypeDint, 5, "Speed");
    b.Real(0.5f, "Ratio");
    FbDb fb(b);
    u8* db = fb.Db();
    auto set = [&](u16 s, const std::string& t) {
        Q4Str_AscForce(fb.Vm().String(s), t.data(), static_cast<u32>(t.size()));
    };
    struct Case {
        std::string symbol, value;
        i32 result;
        std::string readBack;
    };
    for (const Case& c : std::vector<Case>{{"Speed", "-17", 1, "-17"},
                                           {"Ratio", "2.25", 1, "2.25"},
                                           {"Label", "abcdefgh", 1, "abcdef"},
                                           {"NoSuch", "1", 0, ""}}) {
        set(sym, c.symbol);
        set(val, c.value);
        fb.Exec(Q4Xml_SetSybValue, nullptr, {sym, val, 0, fb.D(0)});
        EXPECT_EQ(fb.GetD(fb.D(0)), c.result) << c.symbol;
        set(val, "junk");
        fb.Exec(Q4Xml_GetSybValue, nullptr, {sym, 0, val});
        EXPECT_EQ(Q4Txb_StringIn(db, val), c.readBack) << c.symbol;
    }
    EXPECT_EQ(static_cast<i32>(GetLe32(fb.Vm().Data32(speed))), -17);
}

TEST(XmlNoHeap, BlocksGiveZeroAndSetNoError) {
    u16 arr = 0;
    FbDb fb = MakeDb(0, &arr);
    fb.SetD(fb.D(0), 5);
    fb.Exec(Q4Xml_NewDoc, nullptr, {1, fb.D(0)});
    EXPECT_EQ(fb.GetD(fb.D(0)), 0);
    fb.SetB(fb.B(0), true);
    fb.Exec(Q4Xml_Manager, nullptr, {fb.B(0), fb.D(1), fb.D(2)});
    EXPECT_FALSE(fb.GetB(fb.B(0)));
    fb.Exec(Q4Xml_GetParent, nullptr, {fb.D(3), fb.D(4)});
    EXPECT_EQ(Q4XML_LastError(fb.Db()), 0u);
}

// A menu as the panel shows it: the menu's text, its items joined by "|",
// the selected position, and the number of the item chosen.
class HmiMenu : public Xml {
protected:
    HmiMenu() : inst(kQ4HmiMenuBytes, 0) {}
    void SetRoot(u32 root) { fb.SetD(fb.D(0), static_cast<i32>(root)); }
    // One execution with the buttons (previous, next, enter, back).
    void Press(bool prev, bool next, bool enter, bool back) {
        fb.SetB(fb.B(10), prev);
        fb.SetB(fb.B(11), next);
        fb.SetB(fb.B(12), enter);
        fb.SetB(fb.B(13), back);
        fb.Exec(Q4Hmi_Menu, inst.data(), {fb.B(10), fb.B(11), fb.B(12), fb.B(13), fb.D(0), fb.D(1), fb.D(2), kS80, kS255});
    }
    // A press of one button: down, then up.
    void Tap(int button) {
        Press(button == 0, button == 1, button == 2, button == 3);
        Screen();
        chosenOnPress = fb.GetD(fb.D(1));
        Press(false, false, false, false);
    }
    std::string Screen() { return Str(kS80) + " [" + Str(kS255) + "] @" + std::to_string(fb.GetD(fb.D(2))); }
    u32 Menu(u32 parent, const char* text) {
        fb.SetD(fb.D(5), static_cast<i32>(parent));
        SetStr(kS10, text);
        Run(Q4Hmi_NewMenu, {fb.D(5), kS10, fb.D(6)});
        return static_cast<u32>(fb.GetD(fb.D(6)));
    }
    u32 Item(u32 menu, const char* text, i32 number) {
        fb.SetD(fb.D(5), static_cast<i32>(menu));
        SetStr(kS10, text);
        fb.SetD(fb.D(7), number);
        Run(Q4Hmi_NewMenuItem, {fb.D(5), kS10, fb.D(7), fb.D(6)});
        return static_cast<u32>(fb.GetD(fb.D(6)));
    }
    std::vector<u8> inst;
    i32 chosenOnPress = 0;
};

TEST_F(HmiMenu, ButtonsWalkTheMenuTree) {
    EXPECT_EQ(Q4Hmi_Menu(kFbInstanceSize, nullptr, nullptr, nullptr, nullptr), static_cast<int>(kQ4HmiMenuBytes));
    u32 main = Menu(0, "Main");
    ASSERT_NE(Item(main, "a", 1), 0u);
    ASSERT_NE(Item(main, "b", 2), 0u);
    u32 sub = Menu(main, "c");
    ASSERT_NE(Item(sub, "d", 40), 0u);
    EXPECT_EQ(Q4XmlWr_Tag(Db(), main),
              "<MNU ID=\"M\"><MNU ID=\"1\">a</MNU><MNU ID=\"2\">b</MNU><MNU ID=\"M\"><MNU ID=\"40\">d</MNU></MNU></MNU>");
    SetRoot(main);

    Press(false, false, false, false);
    EXPECT_EQ(Screen(), "Main [a|b|c] @1");
    Tap(0);  // previous from the first: the last
    EXPECT_EQ(Screen(), "Main [a|b|c] @3");
    Tap(2);  // enter on a menu opens it
    EXPECT_EQ(Screen(), "c [d] @1");
    EXPECT_EQ(chosenOnPress, 0);
    Tap(2);  // enter on an item chooses its number, for one execution
    EXPECT_EQ(chosenOnPress, 40);
    EXPECT_EQ(fb.GetD(fb.D(1)), 0);
    Tap(3);  // back to the parent
    EXPECT_EQ(Screen(), "Main [a|b|c] @1");
    Tap(1);
    Tap(2);
    EXPECT_EQ(chosenOnPress, 2);
    Tap(3);  // back at the root does nothing
    EXPECT_EQ(Screen(), "Main [a|b|c] @2");

    // Held buttons act once.
    Press(false, true, false, false);
    Press(false, true, false, false);
    EXPECT_EQ(Screen(), "Main [a|b|c] @3");
    Press(false, false, false, false);

    // Renamed and deleted while shown: the menu the instance holds is gone,
    // so it starts again at the root.
    Tap(2);
    EXPECT_EQ(Screen(), "c [d] @1");
    fb.SetD(fb.D(8), static_cast<i32>(sub));
    Run(Q4Hmi_DelMenu, {fb.D(8), fb.B(0)});
    EXPECT_TRUE(Ok());
    Press(false, false, false, false);
    EXPECT_EQ(Screen(), "Main [a|b] @1");
    fb.SetD(fb.D(8), static_cast<i32>(main));
    SetStr(kS10, "Top");
    Run(Q4Hmi_RenameMenu, {fb.D(8), kS10, fb.B(0)});
    SetRoot(0);
    Press(false, false, false, false);
    SetRoot(main);
    Press(false, false, false, false);
    EXPECT_EQ(Screen(), "Top [a|b] @1");

    // An item needs a menu.
    EXPECT_EQ(Item(0, "x", 1), 0u);
    EXPECT_EQ(XmlError(), 4);
}

}  // namespace
