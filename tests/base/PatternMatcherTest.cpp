#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/PatternMatcher.h"

namespace {

constexpr bool kCs = true;   // case-sensitive
constexpr bool kCi = false;  // case-insensitive
constexpr int kNo = -1;      // no match expected

// One search: the whole-match span [start, end) and, when listed, every group's text
// (nullptr for a group that must have no bounds).
struct Case {
    const wchar_t* pattern;
    bool caseSensitive;
    const wchar_t* input;
    int start;
    int end;
    std::vector<const wchar_t*> groups = {};
};

void CheckCases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "pattern '" << c.pattern << "' input '" << c.input << "'");
        PatternMatcher m;
        if (m.Parse(c.pattern, c.caseSensitive) != PatternOk) {
            ADD_FAILURE() << "does not compile: " << m.LastParseCode();
            continue;
        }
        MatchContext ctx;
        const wchar_t* end = nullptr;
        const bool found = m.Match(c.input, &ctx, &end);
        if (c.start == kNo) {
            EXPECT_FALSE(found) << "matched at " << (ctx.MatchStart() - c.input);
            continue;
        }
        if (!found) {
            ADD_FAILURE() << "no match";
            continue;
        }
        EXPECT_EQ(ctx.MatchStart() - c.input, c.start);
        EXPECT_EQ(ctx.MatchEnd() - c.input, c.end);
        EXPECT_EQ(end, ctx.MatchEnd());
        if (c.groups.empty()) continue;
        EXPECT_EQ(ctx.GroupCount(), static_cast<int>(c.groups.size()));
        for (int i = 0; i < static_cast<int>(c.groups.size()) && i < ctx.GroupCount(); ++i) {
            if (c.groups[i] == nullptr) {
                EXPECT_FALSE(ctx.HasGroup(i)) << "group " << i << " = '" << ctx.GroupText(i) << "'";
            } else {
                EXPECT_TRUE(ctx.HasGroup(i)) << "group " << i;
                EXPECT_EQ(ctx.GroupText(i), c.groups[i]) << "group " << i;
            }
        }
    }
}

// Searches from the start, then again from the end of each match, collecting group 0 as the
// HTTP client does with response headers.
std::vector<std::wstring> CollectGroup0(const wchar_t* text, const wchar_t* pattern) {
    std::vector<std::wstring> found;
    PatternMatcher m;
    if (m.Parse(pattern, kCi) != PatternOk) return found;
    MatchContext ctx;
    const wchar_t* from = text;
    const wchar_t* end = nullptr;
    while (m.Match(from, &ctx, &end)) {
        found.push_back(ctx.GroupText(0));
        if (*end == L'\0' || end == from) break;
        from = end;
    }
    return found;
}

// The patterns the installer itself uses.
const wchar_t* const kFolder = LR"([a-zA-Z]:\\[a-zA-Z0-9_\\()]+$)";
const wchar_t* const kCookie = LR"(Set-Cookie:\b*{.+?}\n)";

TEST(PatternMatcher, ParseCodes) {
    const struct {
        const wchar_t* pattern;
        bool caseSensitive;
        int code;
    } cases[] = {
        {L"", kCs, PatternOk},
        {L"[]", kCs, PatternEmptySet},
        {L"[^]", kCs, PatternEmptySet},
        {L"[abc", kCs, PatternUnclosedSet},
        {L"[", kCs, PatternUnclosedSet},
        {L"[a-", kCs, PatternUnclosedSet},
        {L"[a-]", kCs, PatternUnclosedSet},
        {L"[a\\", kCs, PatternUnclosedSet},
        {L"[b-a]", kCs, PatternBadRange},
        {L"[Z-a]", kCs, PatternOk},
        {L"[Z-a]", kCi, PatternBadRange},  // bounds are lowered before the check
        {L"{a", kCs, PatternUnclosedCapture},
        {L"{a)", kCs, PatternUnclosedCapture},
        {L"(a", kCs, PatternUnclosedGroup},
        {L"(a}", kCs, PatternUnclosedGroup},
        {L"(ab|", kCs, PatternUnclosedGroup},
        {L"a{b}\\1", kCs, PatternBadBackReference},
        {L"\\0{a}", kCs, PatternBadBackReference},
        {L"{a}\\99999999999", kCs, PatternBadBackReference},
        {L"{a\\0}", kCs, PatternOk},
        {L"(a*)*", kCs, PatternEmptyLoop},
        {L"(a*)+?", kCs, PatternEmptyLoop},
        {L"{}*", kCs, PatternEmptyLoop},
        {L"(a|())*", kCs, PatternEmptyLoop},
        {L"(a?b?)+", kCs, PatternEmptyLoop},
        {L"((a*)*", kCs, PatternEmptyLoop},  // the first error found wins
        {L"(a*)?", kCs, PatternOk},
        {L"(a*b)*", kCs, PatternOk},
        {L"a**", kCs, PatternOk},
        {L"\\b*", kCs, PatternOk},
        {L"\\w*", kCs, PatternOk},
        {L"(!a)*", kCs, PatternOk},
        {L"a)(", kCs, PatternOk},
    };
    for (const auto& c : cases) {
        PatternMatcher m;
        EXPECT_EQ(m.Parse(c.pattern, c.caseSensitive), c.code) << "pattern '" << c.pattern << "'";
        EXPECT_EQ(m.LastParseCode(), c.code);
    }
    PatternMatcher m;
    EXPECT_EQ(m.Parse(nullptr, kCs), PatternMissing);
}

TEST(PatternMatcher, GroupsAreNumberedByOpeningBrace) {
    PatternMatcher m;
    ASSERT_EQ(m.Parse(L"{a}(b){c{d}}", kCs), PatternOk);
    EXPECT_EQ(m.GroupCount(), 3);
    CheckCases({{L"{a}(b){c{d}}", kCs, L"abcd", 0, 4, {L"a", L"cd", L"d"}}});
}

TEST(PatternMatcher, SyntaxAndPrecedence) {
    CheckCases({
        {L"ab|cd", kCs, L"abd", 0, 3},
        {L"ab|cd", kCs, L"acd", 0, 3},
        {L"ab|cd", kCs, L"xxacd", 2, 5},
        {L"ab|cd", kCs, L"ab", kNo, 0},
        {L"(ab)|(cd)", kCs, L"ab", 0, 2},
        {L"(ab)|(cd)", kCs, L"cd", 0, 2},
        {L"(ab)|(cd)", kCs, L"ad", kNo, 0},
        {L"a|b|c", kCs, L"xc", 1, 2},
        // Quantifier and '|' characters where an argument is expected are ordinary.
        {L"*a", kCs, L"x*a", 1, 3},
        {L"(+)", kCs, L"a+", 1, 2},
        {L"a**", kCs, L"aaa*b", 0, 4},
        {L"a*??", kCs, L"aa?", 0, 3},
        {L"a||", kCs, L"x|", 1, 2},
        // A dangling '|' drops its term and the rest; a top-level closer ends the pattern.
        {L"ab|", kCs, L"ac", 0, 1},
        {L"xab|)yz", kCs, L"xa", 0, 2},
        {L"(ab|)c", kCs, L"ac", 0, 2},
        {L"abc)def", kCs, L"abc", 0, 3},
        {L"abc)def", kCs, L"xabcdef", 1, 4},
        {L"a]b", kCs, L"ab", 0, 1},
        {L"a}b", kCs, L"ab", 0, 1},
        {L"a!", kCs, L"a!", 0, 1},  // '!' with no argument after it ends the pattern too
        // Escapes outside a set: \t is the letter; a trailing backslash is itself.
        {L"\\t", kCs, L"\t", kNo, 0},
        {L"\\t", kCs, L"t", 0, 1},
        {L"\\.", kCs, L"a.b", 1, 2},
        {L"a\\", kCs, L"ba\\", 1, 3},
        {L"\\D", kCs, L"1D", 1, 2},
        {L".", kCs, L"\n", 0, 1},
        {L".", kCs, L"", kNo, 0},
        {L"", kCs, L"abc", 0, 0},
    });
}

TEST(PatternMatcher, Sets) {
    CheckCases({
        {L"[a-c]+", kCs, L"xcabd", 1, 4},
        {L"[\\]]", kCs, L"a]", 1, 2},
        {L"[\\t]", kCs, L"a\tb", 1, 2},
        {L"[\\t]", kCs, L"t", kNo, 0},
        {L"[a\\-z]", kCs, L"b-", 1, 2},
        {L"[-a]", kCs, L"x-", 1, 2},
        // The end of a range is taken as written: '!' to '\', then ']' closes the set.
        {L"[!-\\]", kCs, L"a5", 1, 2},
        {L"[!-\\]", kCs, L"]", kNo, 0},
        {L"[^a]", kCs, L"aab", 2, 3},
        {L"[^a]", kCs, L"a", kNo, 0},
        {L"[^a]", kCs, L"", kNo, 0},
    });
}

TEST(PatternMatcher, QuantifiersAndPriority) {
    CheckCases({
        {L"{a+}", kCs, L"aaa", 0, 3, {L"aaa"}},
        {L"{a+?}", kCs, L"aaa", 0, 1, {L"a"}},
        {L"{a*?}", kCs, L"aaa", 0, 0, {L""}},
        {L"{a*?}b", kCs, L"aab", 0, 3, {L"aa"}},
        {L"{a?}a", kCs, L"aa", 0, 2, {L"a"}},
        {L"{a??}a", kCs, L"aa", 0, 1, {L""}},
        {L"{a*}a", kCs, L"aaa", 0, 3, {L"aa"}},
        {L"{.*}x", kCs, L"axbx", 0, 4, {L"axb"}},
        {L"{.*?}x", kCs, L"axbx", 0, 2, {L"a"}},
        // The first successful path wins, not the longest; the leftmost start wins.
        {L"{(a)|(ab)}", kCs, L"ab", 0, 1, {L"a"}},
        {L"{a|b}", kCs, L"xba", 1, 2, {L"b"}},
        {L"x*", kCs, L"ab", 0, 0},
        // Loops over zero-width iterations end instead of spinning.
        {L"(!a)*b", kCs, L"cb", 1, 2},
        {L"(!a)*?b", kCs, L"cb", 1, 2},
        {L"{x}?\\0*y", kCs, L"y", 0, 1, {nullptr}},
        {L"{x}?\\0*?y", kCs, L"y", 0, 1, {nullptr}},
    });
}

TEST(PatternMatcher, Anchors) {
    CheckCases({
        {L"x*$", kCs, L"ab", kNo, 0},  // the end is never a start position
        {L"x*$", kCs, L"", 0, 0},
        {L"a$", kCs, L"ba", 1, 2},
        {L"a$", kCs, L"ab", kNo, 0},
        {L"^a", kCs, L"ab", 0, 1},
        {L"^b", kCs, L"ab", kNo, 0},
        {L"^x*", kCs, L"ab", 0, 0},
        {L"^$", kCs, L"", 0, 0},
        {L"^$", kCs, L"a", kNo, 0},
        // Elsewhere '^' and '$' are ordinary characters.
        {L"a^", kCs, L"a^", 0, 2},
        {L"$a", kCs, L"$a", 0, 2},
        {L"a$b", kCs, L"a$b", 0, 3},
    });
}

TEST(PatternMatcher, CapturesAndBackReferences) {
    CheckCases({
        {L"{a+}b\\0", kCs, L"aaba", 1, 4, {L"a"}},
        {L"{a}\\0", kCs, L"aA", kNo, 0},
        {L"{a}\\0", kCi, L"aA", 0, 2, {L"a"}},
        {L"{A}\\0", kCi, L"xAa", 1, 3, {L"A"}},
        {L"{x}?y\\0", kCs, L"y", 0, 1, {nullptr}},  // unmatched group = empty text
        {L"{a\\0}", kCs, L"a", 0, 1, {L"a"}},
        {L"{{a}b}", kCs, L"ab", 0, 2, {L"ab", L"a"}},
        {L"{a}{b}?{c}", kCs, L"ac", 0, 2, {L"a", nullptr, L"c"}},
        // Backtracking out of a pass restores the bounds from before it.
        {L"(({a}b)|(ac))", kCs, L"ac", 0, 2, {nullptr}},
        {L"{a}(({b}c)|(bd))", kCs, L"abd", 0, 3, {L"a", nullptr}},
        // Otherwise a group keeps its last completed pass.
        {L"{.}*", kCs, L"abc", 0, 3, {L"c"}},
        {L"(({a})|b)*", kCs, L"ab", 0, 2, {L"a"}},
    });
}

TEST(PatternMatcher, LookAhead) {
    CheckCases({
        {L"!a.", kCs, L"ab", 1, 2},
        {L"a!b", kCs, L"ab ac", 3, 4},
        {L"(!b.)+", kCs, L"aab", 0, 2},
        {L"!!a.", kCs, L"ba", 1, 2},
        // Captures made by the argument never outlive the look-ahead, whichever way it went.
        {L"!({a}b){.}", kCs, L"ac", 0, 1, {nullptr, L"a"}},
        {L"(!{a})|(ab)", kCs, L"ab", 0, 2, {nullptr}},
    });
}

TEST(PatternMatcher, Abbreviations) {
    CheckCases({
        {L"\\a+", kCs, L"-a1-", 1, 3},
        {L"\\b*x", kCs, L" \t x", 0, 4},
        {L"\\b", kCs, L"a b", 1, 2},
        {L"\\c", kCs, L"1x", 1, 2},
        {L"\\d+", kCs, L"ab12c", 2, 4},
        {L"\\h+", kCs, L"xyzFf0g", 3, 6},
        {L"\\w", kCs, L"12ab3", 2, 4},
        {L"\\z", kCs, L"ab12c", 2, 4},
        // Line breaks: a lone CR first, then CR LF, then LF.
        {L"\\n", kCs, L"a\r\nb", 1, 2},
        {L"a\\nb", kCs, L"a\r\nb", 0, 4},
        {L"a\\nb", kCs, L"a\nb", 0, 3},
        {L"a\\nb", kCs, L"a\rb", 0, 3},
        // Only the double-quoted form of q takes effect.
        {L"\\q", kCs, L"say \"hi\" 'yo'", 4, 8},
        {L"\\q", kCs, L"'yo'", kNo, 0},
        {L"\\q", kCs, L"\"\"", 0, 2},
    });
}

TEST(PatternMatcher, FolderCheck) {
    CheckCases({
        {kFolder, kCs, L"D:\\kavix", 0, 8},
        {kFolder, kCs, L"d:\\x(86)\\y", 0, 10},
        {kFolder, kCs, L"D:\\ProgramFiles(x86)\\kavix", 0, 26},
        {kFolder, kCs, L"D:\\", kNo, 0},
        {kFolder, kCs, L"D:", kNo, 0},
        {kFolder, kCs, L"D:\\a-b", kNo, 0},
        {kFolder, kCs, L"D:\\a.b", kNo, 0},
        {kFolder, kCs, L"D:\\a b", kNo, 0},
        {kFolder, kCs, L"D:\\a/b", kNo, 0},
        {kFolder, kCs, L"D:\\\x4E2D\x6587", kNo, 0},
        {kFolder, kCs, L"1:\\a", kNo, 0},
        // Not anchored at the start: a later valid tail reaching the end is enough.
        {kFolder, kCs, L"D:\\a-b\\C:\\x", 7, 11},
    });
}

TEST(PatternMatcher, HeaderPatterns) {
    CheckCases({
        {LR"(charset={[A-Za-z0-9\-_]+})", kCi, L"Content-Type: text/html; Charset=UTF-8\r\n", 25, 38, {L"UTF-8"}},
        {LR"(charset={[A-Za-z0-9\-_]+})", kCi, L"charset=x_y-z;", 0, 13, {L"x_y-z"}},
        {L"Content-Length: {[0-9]+}", kCi, L"HTTP/1.1 200\r\ncontent-length: 1234\r\n", 14, 34, {L"1234"}},
        {L"Location: {[0-9]+}", kCi, L"LOCATION: 302x", 0, 13, {L"302"}},
        {L"{<html>}", kCi, L"<!doctype><HTML><body>", 10, 16, {L"<HTML>"}},
        {L"{</html>}", kCi, L"<html><body>", kNo, 0},
    });
}

TEST(PatternMatcher, CaseInsensitivePositionsAreInCallersText) {
    const wchar_t* headers = L"HTTP/1.1 200 OK\r\nSet-Cookie: a=b\r\nServer: x\r\n";
    PatternMatcher m;
    ASSERT_EQ(m.Parse(kCookie, kCi), PatternOk);
    MatchContext ctx;
    const wchar_t* end = nullptr;
    ASSERT_TRUE(m.Match(headers, &ctx, &end));
    ASSERT_EQ(ctx.GroupCount(), 1);
    EXPECT_EQ(ctx.GroupStart(0), headers + 29);
    EXPECT_EQ(ctx.GroupEnd(0), headers + 32);
    EXPECT_EQ(ctx.GroupText(0), L"a=b");
    EXPECT_EQ(ctx.MatchStart(), headers + 17);
    EXPECT_EQ(end, headers + 33);  // just after the CR, the lone-CR line break
}

TEST(PatternMatcher, RepeatedSearchesCollectEveryMatch) {
    const wchar_t* headers =
        L"HTTP/1.1 200 OK\r\nSet-Cookie: a=b\r\nContent-Length: 12\r\n"
        L"SET-COOKIE:\tsid=X9; path=/\r\nset-cookie:c=d\r\n\r\n";
    EXPECT_EQ(CollectGroup0(headers, kCookie), (std::vector<std::wstring>{L"a=b", L"sid=X9; path=/", L"c=d"}));
    EXPECT_EQ(CollectGroup0(headers, L"Content-Length: {[0-9]+}"), std::vector<std::wstring>{L"12"});
    EXPECT_TRUE(CollectGroup0(headers, L"Location: {[0-9]+}").empty());
}

TEST(PatternMatcher, LongInputsUseTheGrowingStack) {
    const std::wstring as(100000, L'a');
    const std::wstring asX = as + L'x';
    const std::wstring abs = [] {
        std::wstring s;
        for (int i = 0; i < 50000; ++i) s += L"ab";
        return s + L'c';
    }();
    CheckCases({
        {L".*", kCs, as.c_str(), 0, 100000},
        {L"{.+?}x", kCs, asX.c_str(), 0, 100001, {as.c_str()}},
        {L"{.*}x", kCs, asX.c_str(), 0, 100001, {as.c_str()}},
        {L"{(a|b)*}c", kCs, abs.c_str(), 0, 100001, {abs.substr(0, 100000).c_str()}},
        {L"a*$", kCi, as.c_str(), 0, 100000},
    });
}

TEST(PatternMatcher, RefusesMissingArgumentsAndUncompiledPatterns) {
    PatternMatcher m;
    MatchContext ctx;
    EXPECT_FALSE(m.Match(L"a", &ctx));  // nothing compiled yet
    ASSERT_EQ(m.Parse(L"a", kCs), PatternOk);
    EXPECT_FALSE(m.Match(nullptr, &ctx));
    EXPECT_FALSE(m.Match(L"a", nullptr));
    EXPECT_TRUE(m.Match(L"a", &ctx));
    ASSERT_EQ(m.Parse(L"(a", kCs), PatternUnclosedGroup);
    EXPECT_FALSE(m.Match(L"a", &ctx));
    EXPECT_EQ(ctx.MatchStart(), nullptr);
}

TEST(PatternMatcher, ContextServesSuccessiveSearches) {
    PatternMatcher two;
    PatternMatcher none;
    ASSERT_EQ(two.Parse(L"{a}{b}?", kCs), PatternOk);
    ASSERT_EQ(none.Parse(L"c", kCs), PatternOk);
    MatchContext ctx;
    ASSERT_TRUE(two.Match(L"ab", &ctx));
    EXPECT_EQ(ctx.GroupText(1), L"b");
    ASSERT_TRUE(two.Match(L"a", &ctx));
    EXPECT_FALSE(ctx.HasGroup(1));  // nothing left over from the previous search
    ASSERT_TRUE(none.Match(L"c", &ctx));
    EXPECT_EQ(ctx.GroupCount(), 0);
    EXPECT_EQ(ctx.GroupStart(0), nullptr);
    EXPECT_FALSE(none.Match(L"x", &ctx));
    EXPECT_EQ(ctx.MatchEnd(), nullptr);
}

}  // namespace
