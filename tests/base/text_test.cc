// Showing text that anyone in radio range chose: escaped where it could act on a terminal,
// intact where it is plain UTF-8, cut between characters.
#include "base/text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string escaped(const std::string& in, size_t size = 512, bool drop = false) {
    char out[512];
    size_t length = escape_text(out, size, in.c_str(), drop);
    EXPECT_EQ(length, std::string(out).size());
    return out;
}

TEST(Text, ControlsAndWhatIsNotUtf8AreEscapedUtf8Passes) {
    EXPECT_EQ(escaped("Kb\x1b]0;owned\a\x1b[2J\x1b[31mRED"),
              "Kb\\x1b]0;owned\\x07\\x1b[2J\\x1b[31mRED");
    EXPECT_EQ(escaped("a\nb\tc\rd\x7f"), "a\\x0ab\\x09c\\x0dd\\x7f");
    EXPECT_EQ(escaped("C1 \xc2\x9b"
                      "2J, NBSP \xc2\xa0"),
              "C1 \\xc2\\x9b2J, NBSP \xc2\xa0");
    EXPECT_EQ(escaped("Ma\xc3\xb1"
                      "ana \xf0\x9f\x8e\xae \xe6\x89\x8b\xe6\x9f\x84"),
              "Ma\xc3\xb1"
              "ana \xf0\x9f\x8e\xae \xe6\x89\x8b\xe6\x9f\x84");
    // a lone continuation byte, a cut sequence, an overlong form, a surrogate, past U+10FFFF
    EXPECT_EQ(escaped("\x80|\xe6\x89|\xc0\xaf|\xed\xa0\x80|\xf4\x90\x80\x80"),
              "\\x80|\\xe6\\x89|\\xc0\\xaf|\\xed\\xa0\\x80|\\xf4\\x90\\x80\\x80");
}

TEST(Text, WhatDoesNotFitIsCutBetweenCharactersAndEscapes) {
    EXPECT_EQ(escaped("ab\x1b", 6), "ab");             // "\x1b" needs 4 bytes and the NUL
    EXPECT_EQ(escaped("ab\xf0\x9f\x8e\xae", 6), "ab"); // so does the emoji
    EXPECT_EQ(escaped("ab\xf0\x9f\x8e\xae", 7), "ab\xf0\x9f\x8e\xae");
    EXPECT_EQ(escaped("abc", 1), "");
    // names stored cut: a character cut short goes whole
    EXPECT_EQ(utf8_cut("a\xe6\x89\x8b", 3), 1u);
    EXPECT_EQ(utf8_cut("a\xe6\x89\x8b", 4), 4u);
    EXPECT_EQ(utf8_cut("ab\xf0\x9f\x8e\xae", 5), 2u);
    EXPECT_EQ(utf8_cut("ab\x80\x80", 4), 4u); // no character to cut
}

TEST(Text, TheToolsOwnCodesCanBeLeftOut) {
    EXPECT_EQ(escaped("\r\x1b[K[\x01\x1b[0;93m\x02"
                      "CHG\x01\x1b[0m\x02] Device",
                      512, true),
              "[CHG] Device");
    EXPECT_EQ(escaped("\x1b[0;94m[bluetooth]\x1b[0m@ info", 512, true), "[bluetooth]@ info");
    EXPECT_EQ(escaped("\tName: a\tb\x1b]0;x\a", 512, true), "\tName: a\\x09b\\x1b]0;x\\x07");
}

} // namespace
