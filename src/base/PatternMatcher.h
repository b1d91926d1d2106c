#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// Results of PatternMatcher::Parse.
enum PatternParseCode : int {
    PatternOk = 0,
    PatternOutOfMemory = 1,
    PatternUnclosedCapture = 2,   // '{' without '}'
    PatternUnclosedGroup = 3,     // '(' without ')'
    PatternUnclosedSet = 4,       // '[' without ']', or a range with no end
    PatternBadAbbreviation = 5,   // an abbreviation's expansion does not compile
    PatternEmptySet = 6,          // '[]' or '[^]'
    PatternBadBackReference = 7,  // a back-reference to a group not opened before it
    PatternBadRange = 8,          // range end below its start
    PatternEmptyLoop = 9,         // '*' or '+' on an operand that can match empty text
    PatternMissing = 10,          // no pattern given
};

// The outcome of one search: the whole match and the capture groups, as positions in the
// caller's input. One context can serve any number of searches; each Match resets it.
class MatchContext {
public:
    MatchContext() = default;
    MatchContext(const MatchContext&) = delete;
    MatchContext& operator=(const MatchContext&) = delete;

    int GroupCount() const noexcept { return static_cast<int>(groups_.size()); }
    // False for a group that took no part in the match (or does not exist).
    bool HasGroup(int i) const noexcept;
    // Bounds of group i (end exclusive); nullptr when the group has none.
    const wchar_t* GroupStart(int i) const noexcept;
    const wchar_t* GroupEnd(int i) const noexcept;
    // Text of group i; empty when the group has no bounds.
    std::wstring GroupText(int i) const;
    // The whole match of the last successful search; nullptr otherwise.
    const wchar_t* MatchStart() const noexcept { return matched_ ? input_ + matchStart_ : nullptr; }
    const wchar_t* MatchEnd() const noexcept { return matched_ ? input_ + matchEnd_ : nullptr; }

private:
    friend class PatternMatcher;

    struct Bounds {
        std::ptrdiff_t start;
        std::ptrdiff_t end;
    };
    // A choice point, a look-ahead barrier, or a value to put back when backtracking past it.
    struct StackEntry {
        int kind;
        int index;  // instruction, group or memory slot
        std::ptrdiff_t a;
        std::ptrdiff_t b;
    };

    bool Reset(const wchar_t* input, int groups, int slots) noexcept;
    bool Push(int kind, int index, std::ptrdiff_t a, std::ptrdiff_t b = 0) noexcept;

    const wchar_t* input_ = nullptr;
    bool matched_ = false;
    std::ptrdiff_t matchStart_ = 0;
    std::ptrdiff_t matchEnd_ = 0;
    std::vector<Bounds> groups_;
    std::vector<std::ptrdiff_t> memory_;
    std::unique_ptr<StackEntry[]> stack_;
    std::size_t stackTop_ = 0;
    std::size_t stackSize_ = 0;
};

// A compiled pattern of our own dialect: '{...}' captures, '(...)' groups, '|' binds tighter
// than concatenation, '\' letters stand for common classes, '!' is a negative look-ahead.
// Matching backtracks on an explicit stack, so long inputs cannot exhaust the thread's stack.
class PatternMatcher {
public:
    PatternMatcher() = default;

    // Compiles the pattern, replacing whatever was compiled before; returns a PatternParseCode.
    int Parse(const wchar_t* pattern, bool caseSensitive) noexcept;
    // Searches input for the leftmost match. On success ctx holds the match and its groups and
    // *end (when given) points just after the match.
    bool Match(const wchar_t* input, MatchContext* ctx, const wchar_t** end = nullptr) const noexcept;

    int LastParseCode() const noexcept { return parseCode_; }
    int GroupCount() const noexcept { return groupCount_; }

private:
    friend struct PatternCompiler;

    enum Op : unsigned char {
        OpChar,        // x: character
        OpAny,         // any character but the end
        OpSet,         // x: index into sets_
        OpBackRef,     // x: group
        OpEnd,         // the end of the input
        OpSplit,       // go to x, on failure y
        OpJump,        // go to x
        OpGroupStart,  // y: slot holding the pending start
        OpGroupEnd,    // x: group, y: slot of its pending start
        OpLoopMark,    // y: slot; remembers where an iteration began
        OpLoopCheck,   // y: slot; an iteration that consumed nothing leaves the loop for x
        OpLookStart,   // y: slot; x: where to go when the look-ahead holds
        OpLookEnd,     // y: slot; the argument matched, so the look-ahead fails
        OpMatch,
    };
    struct Instr {
        Op op;
        int x;
        int y;
    };
    struct CharSet {
        bool negated;
        std::vector<std::pair<wchar_t, wchar_t>> ranges;
        bool Contains(wchar_t c) const noexcept;
    };

    int Run(const wchar_t* text, std::size_t length, std::size_t start, MatchContext& ctx) const noexcept;

    std::vector<Instr> program_;
    std::vector<CharSet> sets_;
    int groupCount_ = 0;
    int slotCount_ = 0;
    bool caseSensitive_ = true;
    bool anchored_ = false;
    int parseCode_ = PatternMissing;
};
