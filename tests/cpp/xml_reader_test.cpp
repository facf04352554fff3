#include "xml_event_stream.hpp"

#include <xml/reader.hpp>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace brindle;
using brindle::testing::event_stream;

namespace {

constexpr std::size_t kWhole = static_cast<std::size_t>(-1) / 2;
const std::size_t kChunks[] = {1, 7, 65535, 65536, 65537};

struct Refused {
    const char* construct;
    std::string doc;
    const char* error;
};

std::string S(const char* s, std::size_t n) { return std::string(s, n); }

// Every refusal, grouped by the construct that raises it.
const std::vector<Refused>& refused() {
    static const std::vector<Refused> v = {
        {"encoding", "\xFF\xFE<\0a\0/\0>\0", "unsupported: utf-16"},
        {"encoding", "\xFE\xFF\0<\0a", "unsupported: utf-16"},
        {"encoding", S("<\0a\0/\0>\0", 8), "unsupported: utf-16"},
        {"encoding", S("\0<\0a", 4), "unsupported: utf-16"},
        {"decl", "<?xml version='1.0'", "malformed: unclosed decl"},
        {"decl", "<?xml version='1.0'?<a/>", "malformed: unclosed decl"},
        {"decl", "<?xml?><a/>", "malformed: bad decl"},
        {"decl", "<?xml ?><a/>", "malformed: bad decl"},
        {"decl", "<?xml encoding='utf-8'?><a/>", "malformed: bad decl"},
        {"decl", "<?xml version='1.0'encoding='utf-8'?><a/>", "malformed: bad decl"},
        {"decl", "<?xml version='1.0' standalone='yes' encoding='utf-8'?><a/>", "malformed: bad decl"},
        {"decl", "<?xml version='1.0' standalone='yes' standalone='yes'?><a/>", "malformed: bad decl"},
        {"decl", "<?xml version='1.0' encoding='utf-8' encoding='utf-8'?><a/>", "malformed: bad decl"},
        {"decl", "<?xml version='1.0' foo='x'?><a/>", "malformed: bad decl"},
        {"decl", "<?xml version=1.0?><a/>", "malformed: bad decl"},
        {"decl", "<?xml version '1.0'?><a/>", "malformed: bad decl"},
        {"decl", "<?xml version='1.0\"?><a/>", "malformed: bad decl"},
        {"decl", "<?xml version=\"1.1\"?><a/>", "unsupported: xml version"},
        {"decl", "<?xml version='1.0 '?><a/>", "unsupported: xml version"},
        {"decl", "<?xml version='1.0' encoding='latin-1'?><a/>", "unsupported: encoding"},
        {"decl", "<?xml version='1.0' encoding=''?><a/>", "unsupported: encoding"},
        {"decl", "<?xml version='1.0' encoding='utf8'?><a/>", "unsupported: encoding"},
        {"decl", "<?xml version='1.0' standalone='maybe'?><a/>", "malformed: bad standalone"},
        {"decl", "<?xml version='1.0' encoding='UTF-8' standalone='YES'?><a/>", "malformed: bad standalone"},
        {"document", "", "malformed: no element found"},
        {"document", " \r\n\t", "malformed: no element found"},
        {"document", "<!-- only a comment -->", "malformed: no element found"},
        {"document", "\xEF\xBB\xBF", "malformed: no element found"},
        {"document", "<a>", "malformed: unclosed element"},
        {"document", "<a><b></b>text", "malformed: unclosed element"},
        {"document", "<", "malformed: unclosed token"},
        {"document", "<a><", "malformed: unclosed token"},
        {"markup", "<a><!", "malformed: bad markup declaration"},
        {"markup", "<a><!x></a>", "malformed: bad markup declaration"},
        {"markup", "<a><![CDAT", "malformed: bad markup declaration"},
        {"markup", "<!doctype a><a/>", "malformed: bad markup declaration"},
        {"markup", "<a><!ELEMENT a ANY></a>", "malformed: bad markup declaration"},
        {"markup", "<!DOCTYPE a><a/>", "unsupported: doctype"},
        {"markup", "<a><!DOCTYPE a></a>", "unsupported: doctype"},
        {"comment", "<a><!-- x", "malformed: unclosed comment"},
        {"comment", "<a><!-- a -- b", "malformed: unclosed comment"},
        {"comment", "<a><!--></a>", "malformed: unclosed comment"},
        {"comment", "<a><!-- a -- b --></a>", "malformed: -- in comment"},
        {"comment", "<a><!-- a ---></a>", "malformed: -- in comment"},
        {"comment", "<a><!----></a><!-- -- -->", "malformed: -- in comment"},
        {"comment", "<a><!-- \x01 --></a>", "malformed: invalid character"},
        {"comment", "<a><!-- \xC3 --></a>", "malformed: invalid utf-8"},
        {"cdata", "<![CDATA[x]]><a/>", "malformed: cdata outside root"},
        {"cdata", "<a/><![CDATA[]]>", "malformed: cdata outside root"},
        {"cdata", "<a><![CDATA[x]]", "malformed: unclosed cdata"},
        {"cdata", "<a><![CDATA[x]>", "malformed: unclosed cdata"},
        {"cdata", "<a><![CDATA[\x02]]></a>", "malformed: invalid character"},
        {"cdata", "<a><![CDATA[\xEF\xBF\xBE]]></a>", "malformed: invalid character"},
        {"pi", "<a><?pi x", "malformed: unclosed pi"},
        {"pi", "<a><?pi x?</a>", "malformed: unclosed pi"},
        {"pi", "<?\?><a/>", "malformed: bad pi"},
        {"pi", "<? pi?><a/>", "malformed: bad pi"},
        {"pi", "<?1x?><a/>", "malformed: bad pi"},
        {"pi", "<?-x?><a/>", "malformed: bad pi"},
        {"pi", "<?pi\x01?><a/>", "malformed: bad pi"},
        {"pi", "<?pi\xC3\xA9 x?><a/>", "malformed: bad pi"},
        {"pi", " <?xml version='1.0'?><a/>", "malformed: misplaced xml declaration"},
        {"pi", "<a/><?XmL x?>", "malformed: misplaced xml declaration"},
        {"pi", "<?xml-stylesheet x?><?xml version='1.0'?><a/>", "malformed: misplaced xml declaration"},
        {"pi", "<?a:b x?><a/>", "malformed: colon in pi target"},
        {"pi", "<?:x?><a/>", "malformed: colon in pi target"},
        {"pi", "<?pi \x01?><a/>", "malformed: invalid character"},
        {"text", "x<a/>", "malformed: junk outside root"},
        {"text", "<a/>x", "malformed: junk outside root"},
        {"text", "<a/>\n&amp;", "malformed: junk outside root"},
        {"text", "<a/>\x0c", "malformed: junk outside root"},
        {"text", "<a>]]></a>", "malformed: ]]> in text"},
        {"text", "<a>x]]>y</a>", "malformed: ]]> in text"},
        {"text", "<a>\x01</a>", "malformed: invalid character"},
        {"text", "<a>\x7f\x1f</a>", "malformed: invalid character"},
        {"text", "<a>\xEF\xBF\xBF</a>", "malformed: invalid character"},
        {"text", "<a>\xC3<b/></a>", "malformed: invalid utf-8"},
        {"text", "<a>\xED\xA0\x80</a>", "malformed: invalid utf-8"},
        {"text", "<a>\xC0\x80</a>", "malformed: invalid utf-8"},
        {"text", "<a>\xE0\x80\x80</a>", "malformed: invalid utf-8"},
        {"text", "<a>\xF0\x80\x80\x80</a>", "malformed: invalid utf-8"},
        {"text", "<a>\xF4\x90\x80\x80</a>", "malformed: invalid utf-8"},
        {"text", "<a>\xF5\x80\x80\x80</a>", "malformed: invalid utf-8"},
        {"text", "<a>\x80</a>", "malformed: invalid utf-8"},
        {"text", "<a>\xEF\xBF\xBF\xC3</a>", "malformed: invalid utf-8"},
        {"reference", "<a>&amp</a>", "malformed: bad reference"},
        {"reference", "<a>&</a>", "malformed: bad reference"},
        {"reference", "<a>&nbsp;</a>", "malformed: undefined entity"},
        {"reference", "<a>&AMP;</a>", "malformed: undefined entity"},
        {"reference", "<a>&;</a>", "malformed: undefined entity"},
        {"reference", "<a>&#;</a>", "malformed: undefined entity"},
        {"reference", "<a>&#x;</a>", "malformed: bad char ref"},
        {"reference", "<a>&#X41;</a>", "malformed: bad char ref"},
        {"reference", "<a>&#x4G;</a>", "malformed: bad char ref"},
        {"reference", "<a>&#1a;</a>", "malformed: bad char ref"},
        {"reference", "<a>&#00000000065;</a>", "malformed: bad char ref"},
        {"reference", "<a>&#x00000000041;</a>", "malformed: bad char ref"},
        {"reference", "<a>&#xFFFFFFFFFF;</a>", "malformed: bad char ref"},
        {"reference", "<a>&#4294967296;</a>", "malformed: bad char ref"},
        {"reference", "<a>&#0;</a>", "malformed: invalid char ref"},
        {"reference", "<a>&#xD800;</a>", "malformed: invalid char ref"},
        {"reference", "<a>&#xFFFE;</a>", "malformed: invalid char ref"},
        {"reference", "<a>&#x110000;</a>", "malformed: invalid char ref"},
        {"reference", "<a>&#4294967295;</a>", "malformed: invalid char ref"},
        {"reference", "<a b='&#x1F;'/>", "malformed: invalid char ref"},
        {"start tag", "<a/><b/>", "malformed: junk after document element"},
        {"start tag", "<a", "malformed: unclosed tag"},
        {"start tag", "<a b='>", "malformed: unclosed tag"},
        {"start tag", "<>", "malformed: expected name"},
        {"start tag", "</>", "malformed: expected name"},
        {"start tag", "<1a/>", "malformed: bad name"},
        {"start tag", "< a/>", "malformed: bad name"},
        {"start tag", "<a 1='x'/>", "malformed: bad name"},
        {"start tag", "<\xC3\xA9/>", "unsupported: non-ascii name"},
        {"start tag", "<a\xC3\xA9/>", "unsupported: non-ascii name"},
        {"start tag", "<a b\xC3\xA9='1'/>", "unsupported: non-ascii name"},
        {"start tag", "<a:b:c/>", "unsupported: bad qname"},
        {"start tag", "<:a/>", "unsupported: bad qname"},
        {"start tag", "<a:/>", "unsupported: bad qname"},
        {"start tag", "<a xmlns:='u'/>", "unsupported: bad qname"},
        {"start tag", "<a:1b xmlns:a='u'/>", "malformed: bad qname"},
        {"start tag", "<a p:-x='1'/>", "malformed: bad qname"},
        {"start tag", "<a b='1'c='2'/>", "malformed: missing whitespace between attributes"},
        {"start tag", "<a$/>", "malformed: missing whitespace between attributes"},
        // clang-format off
        {"start tag", "<a b/>", "malformed: expected =", },
        // clang-format on
        {"start tag", "<a b c='1'/>", "malformed: expected ="},
        {"start tag", "<a b>", "malformed: expected ="},
        {"start tag", "<a b=c/>", "malformed: expected quote"},
        {"start tag", "<a b=/>", "malformed: expected quote"},
        {"start tag", "<a b='<'/>", "malformed: < in attribute"},
        {"start tag", "<a b='\x01'/>", "malformed: invalid character"},
        {"start tag", "<a b='\xC3('/>", "malformed: invalid utf-8"},
        {"start tag", "<a b='&bogus;'/>", "malformed: undefined entity"},
        {"start tag", "<a b='&amp'/>", "malformed: bad reference"},
        {"start tag", "<a b='1' b=\"2\"/>", "malformed: duplicate attribute"},
        {"start tag", "<a xmlns:p='u' xmlns:p='v'/>", "malformed: duplicate attribute"},
        {"start tag", "<a xmlns:p='u' xmlns:q='u' p:x='1' q:x='2'/>", "malformed: duplicate attribute"},
        {"end tag", "<a></a", "malformed: unclosed end tag"},
        {"end tag", "<a></a x>", "malformed: bad end tag"},
        {"end tag", "<a></a/>", "malformed: bad end tag"},
        {"end tag", "<a></b>", "malformed: mismatched tag"},
        {"end tag", "<a></ab>", "malformed: mismatched tag"},
        {"end tag", "<p:a xmlns:p='u'></q:a>", "malformed: mismatched tag"},
        {"end tag", "</a>", "malformed: mismatched tag"},
        {"end tag", "<a></1>", "malformed: bad name"},
        {"end tag", "<a></ a>", "malformed: bad name"},
        {"end tag", "<a></>", "malformed: expected name"},
        {"end tag", "<a></a:b:c>", "unsupported: bad qname"},
        {"end tag", "<a></a:1>", "malformed: bad qname"},
        {"end tag", "<a></a\xC3\xA9>", "unsupported: non-ascii name"},
        {"namespace", "<a xmlns:xml='urn:x'/>", "malformed: xml prefix"},
        {"namespace", "<a xmlns:xmlns='urn:x'/>", "malformed: xmlns prefix"},
        {"namespace", "<a xmlns:xmlns='http://www.w3.org/2000/xmlns/'/>", "malformed: xmlns prefix"},
        {"namespace", "<a xmlns='http://www.w3.org/2000/xmlns/'/>", "malformed: reserved namespace"},
        {"namespace", "<a xmlns:p='http://www.w3.org/XML/1998/namespace'/>", "malformed: reserved namespace"},
        {"namespace", "<a xmlns='http://www.w3.org/XML/1998/&#x6e;amespace'/>", "malformed: reserved namespace"},
        {"namespace", "<a xmlns:p=''/>", "malformed: empty prefixed namespace"},
        {"namespace", "<p:a/>", "malformed: unbound prefix"},
        {"namespace", "<a p:x='1'/>", "malformed: unbound prefix"},
        {"namespace", "<xmlns:a/>", "malformed: unbound prefix"},
        {"namespace", "<r><a xmlns:p='u'/><p:b/></r>", "malformed: unbound prefix"},
    };
    return v;
}

struct Accepted {
    const char* what;
    std::string doc;
    std::string events;
};

const std::vector<Accepted>& accepted() {
    static const std::vector<Accepted> v = {
        {"empty element", "<a/>", "E {}a [<a/>]\n/ {}a [<a/>]\n$"},
        {"prolog and epilog",
         "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<!-- c -->"
         "<?xml-stylesheet href='x'?>\r\n<a></a >\n<!-- end --><?pi?> \n",
         "S {}a [<a>]\n/ {}a [</a >]\n$"},
        {"decl variants", "<?xml version='1.0' standalone='no' ?><a/>", "E {}a [<a/>]\n/ {}a [<a/>]\n$"},
        {"decl with encoding", "<?xml\tversion = '1.0'\nencoding=\"utf-8\"?><a/>", "E {}a [<a/>]\n/ {}a [<a/>]\n$"},
        {"text and cdata", "<a>t<![CDATA[<c>&amp;]]]]>u<![CDATA[]]></a>",
         "S {}a [<a>]\nT t\nC <c>&amp;]]\nT u\nC \n/ {}a [</a>]\n$"},
        {"quoted >", "<a b='x>y' c=\"it's\"\n/>",
         "E {}a [<a b='x>y' c=\"it's\"\n/>] b=x>y c=it's\n/ {}a [<a b='x>y' c=\"it's\"\n/>]\n$"},
        {"whitespace text", "<a> <b>\n</b></a>",
         "S {}a [<a>]\nT  \nS {}b [<b>]\nT \n\n/ {}b [</b>]\n/ {}a [</a>]\n$"},
        {"non-ascii text", "<a>caf\xC3\xA9 \xF0\x9F\x98\x80 \xC2\x80\xC2\x9F</a>",
         "S {}a [<a>]\nT caf\xC3\xA9 \xF0\x9F\x98\x80 \xC2\x80\xC2\x9F\n/ {}a [</a>]\n$"},
        {"references", "<a>&#x41;&#65;&#0000000065;&#x0000000041;&lt;&gt;&amp;&apos;&quot;&#x10FFFF;&#xFFFD;</a>",
         "S {}a [<a>]\nT AAAA<>&'\"\xF4\x8F\xBF\xBF\xEF\xBF\xBD\n/ {}a [</a>]\n$"},
        {"line ends in text", "<a>x\r\ny\rz&#13;\n</a>", "S {}a [<a>]\nT x\ny\nz\r\n\n/ {}a [</a>]\n$"},
        {"line ends in cdata", "<a><![CDATA[x\r\ny\r&amp;]]></a>", "S {}a [<a>]\nC x\ny\n&amp;\n/ {}a [</a>]\n$"},
        {"attribute normalisation", "<a b='x\r\n\ty' c='&#13;&#10;&#9;' d=' &lt; ' e='\r\r\n\n'/>",
         "E {}a [<a b='x\r\n\ty' c='&#13;&#10;&#9;' d=' &lt; ' e='\r\r\n\n'/>] b=x  y c=\r\n\t d= <  e=   \n"
         "/ {}a [<a b='x\r\n\ty' c='&#13;&#10;&#9;' d=' &lt; ' e='\r\r\n\n'/>]\n$"},
        {"own declaration", "<x:a xmlns:x='urn:1'/>",
         "E {urn:1}a [<x:a xmlns:x='urn:1'/>]\n/ {urn:1}a [<x:a xmlns:x='urn:1'/>]\n$"},
        {"undeclared default", "<a xmlns='urn:1'><b xmlns=''/><c/></a>",
         "S {urn:1}a [<a xmlns='urn:1'>]\nE {}b [<b xmlns=''/>]\n/ {}b [<b xmlns=''/>]\n"
         "E {urn:1}c [<c/>]\n/ {urn:1}c [<c/>]\n/ {urn:1}a [</a>]\n$"},
        {"xml prefix", "<a xml:space='preserve' xmlns:xml='http://www.w3.org/XML/1998/namespace'/>",
         "E {}a [<a xml:space='preserve' xmlns:xml='http://www.w3.org/XML/1998/namespace'/>]"
         " {http://www.w3.org/XML/1998/namespace}space=preserve\n"
         "/ {}a [<a xml:space='preserve' xmlns:xml='http://www.w3.org/XML/1998/namespace'/>]\n$"},
        {"default not on attributes", "<a xmlns='u' xmlns:p='v' p:x='1' x='2'><p:b/></a>",
         "S {u}a [<a xmlns='u' xmlns:p='v' p:x='1' x='2'>] {v}x=1 x=2\nE {v}b [<p:b/>]\n/ {v}b [<p:b/>]\n"
         "/ {u}a [</a>]\n$"},
        {"decoded namespace", "<a xmlns='u&amp;v'/>", "E {u&v}a [<a xmlns='u&amp;v'/>]\n/ {u&v}a [<a xmlns='u&amp;v'/>]\n$"},
        {"same local, other ns", "<a xmlns:p='u' xmlns:q='v' p:x='1' q:x='2' x='3'/>",
         "E {}a [<a xmlns:p='u' xmlns:q='v' p:x='1' q:x='2' x='3'/>] {u}x=1 {v}x=2 x=3\n"
         "/ {}a [<a xmlns:p='u' xmlns:q='v' p:x='1' q:x='2' x='3'/>]\n$"},
        {"names", "<_a.b-c:d_ xmlns:_a.b-c='u' e.f='' g-h=\"\"/>",
         "E {u}d_ [<_a.b-c:d_ xmlns:_a.b-c='u' e.f='' g-h=\"\"/>] e.f= g-h=\n"
         "/ {u}d_ [<_a.b-c:d_ xmlns:_a.b-c='u' e.f='' g-h=\"\"/>]\n$"},
        {"comments and pis inside", "<a><!----><!-- - --><?p ?>x<?q \xC3\xA9?></a>",
         "S {}a [<a>]\nT x\n/ {}a [</a>]\n$"},
        {"gt in text", "<a>a > b ]> ]]</a>", "S {}a [<a>]\nT a > b ]> ]]\n/ {}a [</a>]\n$"},
        {"short decl lookalike", "<?xm?><a/>", "E {}a [<a/>]\n/ {}a [<a/>]\n$"},
    };
    return v;
}

std::string last_line(const std::string& s) {
    std::size_t nl = s.rfind('\n');
    return nl == std::string::npos ? s : s.substr(nl + 1);
}

}  // namespace

TEST(XmlReader, RefusesWithReason) {
    for (const Refused& c : refused()) {
        SCOPED_TRACE(std::string(c.construct) + ": " + c.doc);
        EXPECT_EQ(last_line(event_stream(c.doc, kWhole)), c.error);
    }
}

TEST(XmlReader, AcceptedEventStreams) {
    for (const Accepted& c : accepted()) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(event_stream(c.doc, kWhole), c.events);
    }
}

namespace {

// Documents larger than a chunk, so that constructs straddle the boundaries
// of 65,536-byte reads and the window compacts under them.
std::vector<std::string> large_docs() {
    std::vector<std::string> v;
    std::string rows = "<worksheet xmlns='http://schemas.openxmlformats.org/spreadsheetml/2006/main'><sheetData>";
    for (int i = 0; i < 4000; ++i)
        rows += "<row r=\"" + std::to_string(i + 1) + "\"><c r=\"A" + std::to_string(i + 1) +
                "\" s=\"1\"><v>" + std::to_string(i * 7) + "</v></c><c t='s'><v>1</v></c></row>";
    rows += "</sheetData></worksheet>";
    v.push_back(rows);
    const std::string big(70000, 'x');
    v.push_back("<a>" + big + "&amp;" + big + "</a>");
    v.push_back("<a><!--" + big + "--><![CDATA[" + big + "]]><?pi " + big + "?></a>");
    v.push_back("<a b='" + big + "&lt;' c=\"" + big + "\"/>");
    v.push_back("<a>" + std::string(65534, ' ') + "<b/>" + std::string(65536, '\n') + "</a>");
    v.push_back(std::string(65535, ' ') + "<a>&#x41;</a>" + std::string(65536, ' '));
    v.push_back("<a>" + big + "]]>" + "</a>");
    v.push_back("<a>" + big + "<!-- -- -->" + "</a>");
    v.push_back("<a>" + big);
    v.push_back("<a>" + big + "<b c='" + big);
    v.push_back("<a><![CDATA[" + big + "]]");
    v.push_back(rows.substr(0, 65536 * 2 + 100));
    std::size_t text_at = rows.find("<v>", 65536) + 3;
    v.push_back(rows.substr(0, text_at) + "\x01" + rows.substr(text_at));
    return v;
}

}  // namespace

// A long text run is checked piece by piece as it arrives: an error late in
// it comes after the pieces before, which depend on the chunks. The run read
// up to the error is no event anyone keeps.
std::string without_text_before_error(std::string s) {
    const std::size_t last = s.rfind('\n');
    if (last == std::string::npos || s.ends_with("$")) return s;
    const std::size_t prev = s.rfind('\n', last - 1);
    const std::size_t start = prev == std::string::npos ? 0 : prev + 1;
    if (s.compare(start, 2, "T ") == 0) s.erase(start, last + 1 - start);
    return s;
}

TEST(XmlReader, ChunkingDoesNotChangeEvents) {
    std::vector<std::string> docs = large_docs();
    for (const Refused& c : refused()) docs.push_back(c.doc);
    for (const Accepted& c : accepted()) docs.push_back(c.doc);
    for (const std::string& d : docs) {
        SCOPED_TRACE(d.substr(0, 80));
        std::string whole = without_text_before_error(event_stream(d, kWhole));
        for (std::size_t chunk : kChunks) {
            if (chunk == 1 && d.size() > 300000) continue;  // byte-wise reads of the biggest are slow
            EXPECT_EQ(without_text_before_error(event_stream(d, chunk)), whole) << "chunk " << chunk;
        }
    }
}

// The fast tag paths take only what they can read exactly as `next` would,
// so every document gives the same events, errors included, either way.
TEST(XmlReader, FastTagPathsChangeNothing) {
    std::vector<std::string> docs = large_docs();
    for (const Refused& c : refused()) docs.push_back(c.doc);
    for (const Accepted& c : accepted()) docs.push_back(c.doc);
    for (const char* d : {
             "<a b=\"1\" c=\"2\"><d/><d e=\"x\"/></a>",
             "<a b=\"1\" b=\"2\"/>",
             "<a b=\"1\"c=\"2\"/>",
             "<a b='1'/>",
             "<a x:b=\"1\" xmlns:x=\"u\"/>",
             "<a xmlns=\"u\"><b c=\"d\"></b></a>",
             "<x:a xmlns:x=\"u\"><x:b/></x:a>",
             "<a><b></a></b>",
             "<a><b></b ></a>",
             "<a><b></bb></a>",
             "<a></a><b/>",
             "<a b=\"&amp;\"/>",
             "<a b=\"\t\"/>",
             "<a b=\"\xC3\xA9\"/>",
             "<a b=\"x>y\"></a>",
             "<a b=\"1\" / >",
             "<a1 b=\"1\"/>",
             "<a><b c=\"1\" d=\"2\" e=\"3\" f=\"4\" g=\"5\" h=\"6\" i=\"7\" j=\"8\" k=\"9\"/></a>",
         })
        docs.emplace_back(d);
    for (const std::string& d : docs) {
        SCOPED_TRACE(d.substr(0, 80));
        for (std::size_t chunk : {kWhole, std::size_t{1}, std::size_t{7}, std::size_t{65536}}) {
            if (chunk == 1 && d.size() > 300000) continue;
            EXPECT_EQ(event_stream(d, chunk, true), event_stream(d, chunk)) << "chunk " << chunk;
        }
    }
}

TEST(XmlReader, LargeDocumentsReadInFull) {
    auto docs = large_docs();
    EXPECT_EQ(last_line(event_stream(docs[0], 65536)), "$");
    EXPECT_EQ(last_line(event_stream(docs[6], 65536)), "malformed: ]]> in text");
    EXPECT_EQ(last_line(event_stream(docs[7], 7)), "malformed: -- in comment");
    EXPECT_EQ(last_line(event_stream(docs[8], 7)), "malformed: unclosed element");
    EXPECT_EQ(last_line(event_stream(docs[9], 7)), "malformed: unclosed tag");
    EXPECT_EQ(last_line(event_stream(docs[10], 7)), "malformed: unclosed cdata");
    EXPECT_EQ(last_line(event_stream(docs[12], 65536)), "malformed: invalid character");
}

// A run of text is checked as it arrives: an invalid byte early in a huge
// run is found after reading about a piece of it, not the whole run, and a
// long valid run never makes the window hold more than a few pieces.
TEST(XmlReader, LongTextRunsAreReadInPieces) {
    std::string doc = "<a>" + std::string(200, ' ') + std::string(8 << 20, '\0') + "</a>";
    Reader<MemorySource> bad(doc.data(), doc.size(), 4096);
    auto ev = bad.next();
    ASSERT_TRUE(ev.has_value());
    for (;;) {
        ev = bad.next();
        if (!ev) break;
    }
    EXPECT_STREQ(ev.error().reason, "invalid character");
    EXPECT_LT(bad.win.source.calls(), 64u);

    std::string run = "<a>";
    for (int i = 0; i < 100000; ++i) run += "x&amp;\r\n]]&gt;\xc3\xa9 ";
    run += "</a>";
    for (std::size_t chunk : {std::size_t{1000}, std::size_t{65536}, std::size_t{100000}}) {
        Reader<MemorySource> r(run.data(), run.size(), chunk);
        std::string text, scratch;
        std::size_t events = 0, most = 0;
        for (;;) {
            auto e = r.next();
            ASSERT_TRUE(e.has_value()) << e.error().reason;
            if (*e == Event::EndOfDocument) break;
            if (*e == Event::CharData) {
                text += r.text_str(scratch);
                ++events;
            }
            most = std::max(most, r.win.buf.capacity());
        }
        std::string want;
        for (int i = 0; i < 100000; ++i) want += "x&\n]]>\xc3\xa9 ";
        EXPECT_EQ(text, want) << chunk;
        EXPECT_GT(events, 10u);
        EXPECT_LT(most, std::size_t{1} << 20) << chunk;
    }
}

TEST(XmlReader, DeepNestingNeedsNoStack) {
    constexpr int kDepth = 200000;
    std::string doc;
    for (int i = 0; i < kDepth; ++i) doc += "<p:e xmlns:p='u'>";
    for (int i = 0; i < kDepth; ++i) doc += "</p:e>";
    Reader<MemorySource> r(doc.data(), doc.size());
    std::size_t starts = 0, ends = 0, max_depth = 0;
    for (;;) {
        auto ev = r.next();
        ASSERT_TRUE(ev.has_value()) << ev.error().reason;
        if (*ev == Event::EndOfDocument) break;
        if (*ev == Event::StartTag) ++starts;
        if (*ev == Event::EndTag) {
            ++ends;
            ASSERT_EQ(r.elem_ns, 3u);
        }
        max_depth = std::max(max_depth, r.depth());
    }
    EXPECT_EQ(starts, std::size_t{kDepth});
    EXPECT_EQ(ends, std::size_t{kDepth});
    EXPECT_EQ(max_depth, std::size_t{kDepth});
}

TEST(XmlReader, ManyAttributesInOneTag) {
    // Big tags check duplicates through a hash set; small ones linearly.
    for (int n : {15, 16, 17, 40, 3000}) {
        std::string attrs = " xmlns:p='u' xmlns:q='u'";
        for (int i = 0; i < n; ++i) attrs += " a" + std::to_string(i) + "='" + std::to_string(i) + "'";
        std::string ok = "<e" + attrs + " p:x='1' q:y='2'/>";
        std::string raw_dup = "<e" + attrs + " a0='again'/>";
        std::string ns_dup = "<e" + attrs + " p:x='1' q:x='2'/>";
        SCOPED_TRACE(n);
        EXPECT_EQ(last_line(event_stream(ok, kWhole)), "$");
        EXPECT_EQ(last_line(event_stream(raw_dup, kWhole)), "malformed: duplicate attribute");
        EXPECT_EQ(last_line(event_stream(ns_dup, kWhole)), "malformed: duplicate attribute");
    }
}

TEST(XmlReader, EmptyTagEndRepeatsStartTag) {
    std::string doc = "<r><a x='1'/></r>";
    Reader<MemorySource> r(doc.data(), doc.size());
    ASSERT_EQ(*r.next(), Event::StartTag);
    ASSERT_EQ(*r.next(), Event::EmptyTag);
    std::size_t ts = r.win.tag_start, te = r.win.tag_end;
    EXPECT_EQ(r.depth(), 2u);
    ASSERT_EQ(*r.next(), Event::EndTag);
    EXPECT_EQ(r.win.tag_start, ts);
    EXPECT_EQ(r.win.tag_end, te);
    EXPECT_EQ(r.view(r.elem_local), "a");
    EXPECT_EQ(r.depth(), 1u);
    ASSERT_EQ(*r.next(), Event::EndTag);
    ASSERT_EQ(*r.next(), Event::EndOfDocument);
    ASSERT_EQ(*r.next(), Event::EndOfDocument);
    EXPECT_EQ(r.last_kind(), Event::EndOfDocument);
}

TEST(XmlReader, CaptureSurvivesCompaction) {
    std::string inner;
    for (int i = 0; i < 30000; ++i) inner += "<x i=\"" + std::to_string(i) + "\">t</x>";
    std::string element = "<keep a='1'>" + inner + "</keep>";
    std::string filler;
    for (int i = 0; i < 50000; ++i) filler += "<y/>";
    std::string doc = "<root>" + filler + element + filler + "</root>";
    for (std::size_t chunk : {std::size_t{7}, std::size_t{4096}, std::size_t{65536}}) {
        Reader<MemorySource> r(doc.data(), doc.size(), chunk);
        std::string got;
        std::uint64_t base_at_capture = 0;
        for (;;) {
            auto ev = r.next();
            ASSERT_TRUE(ev.has_value());
            if (*ev == Event::EndOfDocument) break;
            if (*ev == Event::StartTag && r.view(r.elem_local) == "keep") {
                r.begin_capture();
                base_at_capture = r.win.base;
            }
            if (*ev == Event::EndTag && r.view(r.elem_local) == "keep") got = r.end_capture();
        }
        EXPECT_EQ(got, element) << "chunk " << chunk;
        // Compaction did run while reading the 200 KB prefix and after the capture closed.
        EXPECT_GT(base_at_capture, 0u);
        EXPECT_GT(r.win.base, base_at_capture);
    }
}

TEST(XmlReader, InScopeNamespaces) {
    std::string doc = "<a xmlns='u1' xmlns:p='u2'><b xmlns='u3'><c xmlns:xml='http://www.w3.org/XML/1998/namespace'/></b><d/></a>";
    Reader<MemorySource> r(doc.data(), doc.size(), 3);
    using L = NamespaceList;
    ASSERT_EQ(*r.next(), Event::StartTag);
    EXPECT_EQ(r.in_scope_namespaces(), (L{{"", "u1"}, {"p", "u2"}}));
    ASSERT_EQ(*r.next(), Event::StartTag);
    EXPECT_EQ(r.in_scope_namespaces(), (L{{"", "u3"}, {"p", "u2"}}));
    ASSERT_EQ(*r.next(), Event::EmptyTag);
    EXPECT_EQ(r.in_scope_namespaces(),
              (L{{"", "u3"}, {"p", "u2"}, {"xml", "http://www.w3.org/XML/1998/namespace"}}));
    ASSERT_EQ(*r.next(), Event::EndTag);
    ASSERT_EQ(*r.next(), Event::EndTag);
    EXPECT_EQ(r.in_scope_namespaces(), (L{{"", "u1"}, {"p", "u2"}}));
    ASSERT_EQ(*r.next(), Event::EmptyTag);
    EXPECT_EQ(r.elem_ns, 3u);
    EXPECT_EQ(r.default_ns(), 3u);
    ASSERT_EQ(*r.next(), Event::EndTag);
    ASSERT_EQ(*r.next(), Event::EndTag);
    EXPECT_TRUE(r.in_scope_namespaces().empty());
}

TEST(XmlReader, FixedNamespaceIds) {
    std::string doc =
        "<worksheet xmlns='http://schemas.openxmlformats.org/spreadsheetml/2006/main' xml:space='x'><u:a xmlns:u='urn:u'/></worksheet>";
    Reader<MemorySource> r(doc.data(), doc.size());
    ASSERT_EQ(*r.next(), Event::StartTag);
    EXPECT_EQ(r.elem_ns, kNsMain);
    ASSERT_EQ(r.attrs().size(), 1u);
    EXPECT_EQ(r.attrs()[0].ns, static_cast<std::int32_t>(kNsXml));
    ASSERT_EQ(*r.next(), Event::EmptyTag);
    EXPECT_EQ(r.elem_ns, 3u);
    EXPECT_EQ(r.uri(3), "urn:u");
}

TEST(XmlReader, SourceErrorPassesThrough) {
    struct Failing {
        int calls = 0;
        XmlResult<bool> read_chunk(ByteBuf& out) {
            if (calls++ == 0) {
                out.append("<a><b>x", 7);
                return true;
            }
            return std::unexpected(XmlError::source());
        }
    };
    Reader<Failing> r;
    ASSERT_EQ(r.next(), Event::StartTag);
    ASSERT_EQ(r.next(), Event::StartTag);
    auto ev = r.next();
    ASSERT_FALSE(ev.has_value());
    EXPECT_EQ(ev.error().kind, XmlErrorKind::Source);
}
