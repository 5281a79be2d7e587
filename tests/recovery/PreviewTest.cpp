// The preview's rules: what is previewable, the previous/next walk, RTF text.
#include <gtest/gtest.h>

#include "engine/recovery/Preview.h"

using namespace preview;

namespace {

PreviewItem Item(const char16_t* name, uint64_t size, uint32_t attributes = 0, bool carved = false) {
    PreviewItem i;
    i.name = name;
    i.size = size;
    i.attributes = attributes;
    i.carved = carved;
    return i;
}

TEST(PreviewTest, PreviewableRule) {
    struct Case {
        PreviewItem item;
        bool previewable;
    } cases[] = {
        {Item(u"big.LOG", 600000), false},
        {Item(u"a.log", 511999), true},
        {Item(u"a.txt", 512000), false},
        {Item(u"p.JPG", 100), true},
        {Item(u"p.png", kImageLimit - 1), true},
        {Item(u"p.png", kImageLimit), false},
        {Item(u"secret.txt", 10, FILE_ATTRIBUTE_ENCRYPTED), false},
        {Item(u"dir.txt", 0, FILE_ATTRIBUTE_DIRECTORY), false},
        {Item(u"data.bin", 10), false},
        {Item(u"noext", 10), false},
        {Item(u"carved.jpg", 100, FILE_ATTRIBUTE_ENCRYPTED, true), true},
    };
    for (const auto& c : cases) EXPECT_EQ(IsPreviewable(c.item), c.previewable) << std::string(c.item.name.begin(), c.item.name.end());
}

TEST(PreviewTest, NeighboursSkipAndWrap) {
    std::vector<PreviewItem> list = {Item(u"a.txt", 10), Item(u"big.LOG", 600000),
                                     Item(u"enc.txt", 5, FILE_ATTRIBUTE_ENCRYPTED), Item(u"b.jpg", 10),
                                     Item(u"c.bin", 10)};
    Neighbours n = FindNeighbours(list, 0);
    EXPECT_EQ(n.previous, 3u);  // wraps from the first to the last, skipping c.bin
    EXPECT_EQ(n.next, 3u);      // skips the 600,000-byte .LOG and the encrypted file
    n = FindNeighbours(list, 3);
    EXPECT_EQ(n.previous, 0u);
    EXPECT_EQ(n.next, 0u);      // wraps from the last to the first
    std::vector<PreviewItem> alone = {Item(u"a.txt", 10), Item(u"x.bin", 1)};
    n = FindNeighbours(alone, 0);
    EXPECT_EQ(n.previous, kNoPosition);
    EXPECT_EQ(n.next, kNoPosition);
}

TEST(PreviewTest, RtfToText) {
    struct Case {
        const char* rtf;
        const char* text;
    } cases[] = {
        {R"({\rtf1\ansi{\fonttbl{\f0 Arial;}}{\colortbl;\red0\green0\blue0;}\f0\fs20 Hello \b world\b0\par Next})",
         "Hello world\nNext"},
        {R"({\rtf1 caf\'e9 \u8364? {\*\generator x;}a\{b\}\\c})", "caf\xc3\xa9 \xe2\x82\xac a{b}\\c"},
        {R"({\rtf1 a\tab b{\pict 0123abcd}c)", "a\tbc"},
    };
    for (const auto& c : cases) EXPECT_EQ(RtfToPlainText(c.rtf), c.text) << c.rtf;
}

}  // namespace
