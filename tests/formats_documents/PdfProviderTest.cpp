// PDF: the end marker with its 4,096-byte rule, the line end, the trailer
// search, and the title and author through /Info, the cross-reference tables
// and the information dictionary.
#include <gtest/gtest.h>

#include "DocumentTestSupport.h"

using namespace doctest;

namespace {

// A PDF written object by object with a correct cross-reference table.
class PdfWriter {
public:
    PdfWriter() { m_text = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n"; }
    // Adds object n (numbers from 1, in order) with the given body.
    void Object(const std::string& body) {
        m_offsets.push_back(m_text.size());
        m_text += std::to_string(m_offsets.size()) + " 0 obj\n" + body + "\nendobj\n";
    }
    // A stream object of n filler bytes, to give the file its length.
    void Filler(size_t n) { Object("<</Length " + std::to_string(n) + ">>\nstream\n" + std::string(n, 'F') + "\nendstream"); }
    size_t Xref(size_t first, size_t count) {
        const size_t at = m_text.size();
        m_text += "xref\n" + std::to_string(first == 1 ? 0 : first) + " " + std::to_string(first == 1 ? count + 1 : count) + "\n";
        if (first == 1) m_text += "0000000000 65535 f \n";
        for (size_t i = first; i < first + count; ++i) {
            char line[32];
            std::snprintf(line, sizeof line, "%010zu 00000 n \n", m_offsets.at(i - 1));
            m_text += line;
        }
        return at;
    }
    void Trailer(const std::string& dict, size_t xref, const std::string& end = "%%EOF\n") {
        m_text += "trailer\n" + dict + "\nstartxref\n" + std::to_string(xref) + "\n" + end;
    }
    std::string& text() { return m_text; }
    size_t Count() const { return m_offsets.size(); }

private:
    std::string m_text;
    std::vector<size_t> m_offsets;
};

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }

// catalog (1), info (2), filler (3); one table.
std::string SimplePdf(const std::string& info, size_t filler = 5000, const std::string& end = "%%EOF\n") {
    PdfWriter w;
    w.Object("<</Type /Catalog>>");
    w.Object(info);
    w.Filler(filler);
    const size_t x = w.Xref(1, w.Count());
    w.Trailer("<</Size 4 /Root 1 0 R /Info 2 0 R /ID [<00><01>]>>", x, end);
    return w.text();
}

Hit DetectPdf(const std::string& pdf, size_t filler = 16384) { return Detect(PDFProviderDetect, B(pdf), nullptr, filler); }

}  // namespace

TEST(PdfProvider, TitleAndAuthorStrings) {
    // Each string form, as the title and as the author.
    struct Case {
        std::string value;
        std::u16string text;
    } cases[] = {
        {"(Plain title)", u"Plain title"},
        {"(Plan \\(draft\\) (v2) caf\\351\\\nend)", u"Plan (draft) (v2) caféend"},
        {"<FEFF00430061006600E9>", u"Café"},
        {"<feff 0041 D83D DE00>", u"A\U0001F600"},
        {"<FFFE41004200>", u"AB"},
        {"<48 69 21>", u"Hi!"},
        {"(\\376\\377\\000O\\000K)", u"OK"},
        {"(  spaced  )", u"spaced"},
        {"<>", u""},
    };
    for (const Case& k : cases) {
        for (bool asAuthor : {false, true}) {
            const std::string pdf = SimplePdf(asAuthor ? "<</Producer (p) /Author " + k.value + " /Title (T)>>"
                                                       : "<</Producer (p) /Title " + k.value + " /Author (Someone)>>");
            const Hit h = DetectPdf(pdf);
            ASSERT_TRUE(h.found) << k.value;
            EXPECT_EQ(h.title, asAuthor ? u"T" : k.text) << k.value;
            EXPECT_EQ(h.author, asAuthor ? k.text : u"Someone") << k.value;
            EXPECT_EQ(h.type, u"pdf");
            EXPECT_EQ(h.size, pdf.size());
        }
    }
    // Nested values before the keys are skipped whole; a /Title or /Author
    // inside them is not the document's; a value that is no string gives none.
    const Hit nested = DetectPdf(
        SimplePdf("<</A <</Title (inner) /Author (in)>> /B [(x) /Title] /C 5 0 R /Title(outer) /Author 7 0 R>>"));
    EXPECT_EQ(nested.title, u"outer");
    EXPECT_EQ(nested.author, u"");
    // A title longer than 200 characters is cut, the author at 50.
    const Hit longer = DetectPdf(SimplePdf("<</Title (" + std::string(300, 't') + ") /Author (" + std::string(80, 'a') + ")>>"));
    EXPECT_EQ(longer.title, std::u16string(200, u't'));
    EXPECT_EQ(longer.author, std::u16string(50, u'a'));
}

TEST(PdfProvider, EndMarkerAndLineEnd) {
    // The line end after %%EOF: LF, CR LF, CR, or none at the source's end.
    for (const char* eol : {"\n", "\r\n", "\r", ""}) {
        const std::string pdf = SimplePdf("<</Title (t)>>", 5000, std::string("%%EOF") + eol);
        const Hit h = DetectPdf(pdf, *eol ? 16384 : 0);
        ASSERT_TRUE(h.found);
        EXPECT_EQ(h.size, pdf.size());
    }
    // Shorter than 4,096 bytes: its only marker ends too early.
    EXPECT_FALSE(DetectPdf(SimplePdf("<</Title (t)>>", 2000)).found);
    // A marker in the first 4,096 bytes (as after the first-page section of
    // a linearized file) is passed over for the next one.
    PdfWriter w;
    w.Object("<</Type /Catalog>>");
    w.Object("<</Title (Linear)>>");
    w.text() += "%%EOF\n";
    w.Filler(6000);
    const size_t x = w.Xref(1, w.Count());
    w.Trailer("<</Size 4 /Root 1 0 R /Info 2 0 R>>", x);
    Hit h = DetectPdf(w.text());
    ASSERT_TRUE(h.found);
    EXPECT_EQ(h.size, w.text().size());
    EXPECT_EQ(h.title, u"Linear");
    // A marker ending exactly at byte 4,096 is ignored, one ending at 4,097
    // is taken: the size is then 4,098 with its LF.
    for (size_t end : {size_t(4096), size_t(4097)}) {
        std::string pdf = SimplePdf("<</Title (t)>>", 100);
        pdf.erase(pdf.rfind("%%EOF"));
        pdf.append(end - 5 - pdf.size(), ' ');
        pdf += "%%EOF\n";
        h = DetectPdf(pdf + std::string(20000, 'x'));
        EXPECT_EQ(h.found, end == 4097);
        if (h.found) {
            EXPECT_EQ(h.size, 4098u);
        }
    }
    // A marker that spans two 1,024-byte reads is found.
    for (size_t split = 1; split < 5; ++split) {
        std::string pdf = SimplePdf("<</Title (t)>>", 100);
        pdf.erase(pdf.rfind("%%EOF"));
        pdf.append(5 * 1024 - split - pdf.size(), ' ');
        pdf += "%%EOF\n";
        h = DetectPdf(pdf);
        EXPECT_TRUE(h.found) << split;
        EXPECT_EQ(h.size, pdf.size()) << split;
    }
}

TEST(PdfProvider, EndSearchStopsAtItsCap) {
    // The last 1,024-byte read of the end search starts at the cap: a marker
    // ending within it is found, one ending a byte later is not (the search
    // does not run on through the zeros behind it).
    for (uint64_t end : {kPdfEndSearchCap + 1024, kPdfEndSearchCap + 1025}) {
        std::string pdf = "%PDF-1.4\n";
        const std::string tail = "trailer\n<</Size 1>>\nstartxref\n0\n%%EOF";
        pdf.append(static_cast<size_t>(end) - pdf.size() - tail.size(), ' ');
        pdf += tail;
        ASSERT_EQ(pdf.size(), end);
        pdf += "\n";
        ByteVolume v(B(pdf), 65536, true);
        const Hit h = DetectOn(PDFProviderDetect, v.volume(), 0, nullptr);
        EXPECT_EQ(h.found, end == kPdfEndSearchCap + 1024) << end;
        if (h.found) {
            EXPECT_EQ(h.size, end + 1);
        }
    }
}

TEST(PdfProvider, TrailerIsRequired) {
    // Cross-reference streams only: no "trailer" keyword anywhere.
    std::string pdf = SimplePdf("<</Title (t)>>");
    pdf.replace(pdf.rfind("trailer"), 7, "tRailer");
    EXPECT_FALSE(DetectPdf(pdf).found);
    // A trailer keyword that starts after the end marker does not count.
    std::string after = SimplePdf("<</Title (t)>>");
    after.replace(after.rfind("trailer"), 7, "tRailer");
    EXPECT_FALSE(DetectPdf(after + "trailer\n").found);
}

TEST(PdfProvider, CrossReferenceWalkFollowsPrevAndEnds) {
    // An update appends a table that holds only the changed catalog; the
    // information dictionary is found through /Prev in the older table.
    PdfWriter w;
    w.Object("<</Type /Catalog>>");
    w.Object("<</Title (From the old table)>>");
    w.Filler(5000);
    const size_t first = w.Xref(1, w.Count());
    w.Trailer("<</Size 4 /Root 1 0 R /Info 2 0 R>>", first, "");
    w.text() += "% no marker here\n";
    const std::string base = w.text();
    w.Object("<</Type /Catalog /Version /1.5>>");  // object 4
    const size_t second = w.Xref(4, 1);
    w.Trailer("<</Size 5 /Root 4 0 R /Info 2 0 R /Prev " + std::to_string(first) + ">>", second);
    Hit h = DetectPdf(w.text());
    ASSERT_TRUE(h.found);
    EXPECT_EQ(h.title, u"From the old table");

    // A /Prev that names the table itself: each table is read once.
    PdfWriter loop;
    loop.Object("<</Type /Catalog>>");
    loop.Object("<</Title (unreachable)>>");
    loop.Filler(5000);
    loop.Object("<</Type /Catalog>>");
    const size_t self = loop.Xref(4, 1);
    loop.Trailer("<</Size 5 /Root 4 0 R /Info 2 0 R /Prev " + std::to_string(self) + ">>", self);
    h = DetectPdf(loop.text());
    ASSERT_TRUE(h.found);
    EXPECT_EQ(h.title, u"");
    EXPECT_EQ(h.size, loop.text().size());

    // startxref pointing at the startxref line itself, at 0, or past the
    // end; an entry marked free; an object whose number does not match.
    std::string pdf = SimplePdf("<</Title (t)>>");
    const size_t sx = pdf.rfind("startxref");
    for (const std::string& target : {std::to_string(sx), std::string("0"), std::string("99999999")}) {
        std::string bad = pdf.substr(0, sx) + "startxref\n" + target + "\n%%EOF\n";
        h = DetectPdf(bad);
        ASSERT_TRUE(h.found) << target;
        EXPECT_EQ(h.title, u"") << target;
    }
    std::string freeEntry = pdf;
    const size_t entry2 = freeEntry.rfind("xref\n0 4\n") + 9 + 2 * 20;  // the information dictionary's entry
    ASSERT_EQ(freeEntry[entry2 + 17], 'n');
    freeEntry[entry2 + 17] = 'f';
    EXPECT_EQ(DetectPdf(freeEntry).title, u"");
    std::string renumbered = pdf;
    renumbered.replace(renumbered.find("2 0 obj"), 7, "7 0 obj");
    EXPECT_EQ(DetectPdf(renumbered).title, u"");
}

TEST(PdfProvider, IncrementalUpdatesCarveWhole) {
    // Saved, then annotated, then signed: each save appends its objects, a
    // table of its own and a trailer whose /Prev names the older table.
    PdfWriter w;
    w.Object("<</Type /Catalog>>");
    w.Object("<</Title (Draft)>>");
    w.Filler(5000);
    size_t prev = w.Xref(1, w.Count());
    w.Trailer("<</Size 4 /Root 1 0 R /Info 2 0 R>>", prev);
    const size_t original = w.text().size();
    for (const char* title : {"Annotated", "Signed"}) {
        w.Object(std::string("<</Title (") + title + ")>>");
        const size_t x = w.Xref(w.Count(), 1);
        w.Trailer("<</Size " + std::to_string(w.Count() + 1) + " /Root 1 0 R /Info " + std::to_string(w.Count()) +
                      " 0 R /Prev " + std::to_string(prev) + ">>",
                  x);
        prev = x;
    }
    Hit h = DetectPdf(w.text());
    ASSERT_TRUE(h.found);
    EXPECT_EQ(h.size, w.text().size());
    EXPECT_EQ(h.title, u"Signed");

    // What follows a marker without continuing the document leaves the end
    // where it was: another whole PDF (its offsets count from its own
    // start), a trailer whose startxref points back into the old part, and
    // a marker with nothing before it.
    const std::string first = w.text().substr(0, original);
    const std::string tails[] = {
        SimplePdf("<</Title (Next file)>>"),
        "1 0 obj\n<<>>\nendobj\ntrailer\n<</Size 4>>\nstartxref\n" + std::to_string(first.find("xref")) + "\n%%EOF\n",
        std::string(3000, ' ') + "%%EOF\n",
    };
    for (const std::string& tail : tails) {
        h = DetectPdf(first + tail);
        ASSERT_TRUE(h.found);
        EXPECT_EQ(h.size, original) << tail.substr(0, 40);
        EXPECT_EQ(h.title, u"Draft");
    }
}
