#include "base/PatternMatcher.h"

#include <algorithm>
#include <cwchar>
#include <exception>
#include <limits>
#include <new>

#ifdef _WIN32
#include <windows.h>
#else
#include <cwctype>
#endif

namespace {

// Kinds of backtracking stack entries.
enum : int {
    EntryChoice,   // index: instruction to resume, a: position
    EntryBarrier,  // a look-ahead's argument failed: resume after it (index) at its start (a)
    EntryGroup,    // index: group whose bounds a, b to put back
    EntryMemory,   // index: memory slot whose value a to put back
};

constexpr std::size_t kInitialStackEntries = 256;

// One letter after '\' stands for the rest of its string. Only the first term of the rest is
// compiled, so q takes the double-quoted form alone.
const wchar_t* const kAbbreviations[] = {
    L"a([a-zA-Z0-9])",
    L"b([ \t])",
    L"c([a-zA-Z])",
    L"d([0-9])",
    L"h([0-9a-fA-F])",
    L"n(\r|(\r?\n))",  // a lone CR first, then CR LF, then a lone LF
    L"q(\"[^\"]*\")|('[^']*')",
    L"w([a-zA-Z]+)",
    L"z([0-9]+)",
};

// Pattern and input go through the same per-character conversion, so lengths (and with them
// the positions reported back) stay the same.
void ToLower(std::wstring& text) {
    if (text.empty()) return;
#ifdef _WIN32
    CharLowerBuffW(&text[0], static_cast<DWORD>(text.size()));
#else
    for (auto& c : text) c = static_cast<wchar_t>(std::towlower(c));
#endif
}

struct Node;
using NodePtr = std::unique_ptr<Node>;

struct Node {
    enum Kind { Char, Any, Set, BackRef, End, Sequence, Capture, Alternation, Repeat, NotAhead };
    explicit Node(Kind k) : kind(k) {}
    Kind kind;
    int value = 0;  // character, set index, group number or quantifier character
    bool lazy = false;
    bool nullable = false;  // can match the empty text, by the rules that decide code 9
    std::vector<NodePtr> children;
};

NodePtr MakeNode(Node::Kind kind, int value = 0) {
    NodePtr node(new Node(kind));
    node->value = value;
    return node;
}

}  // namespace

// Parses into a tree, then flattens the tree into the instruction list. Allocation failures
// surface as std::bad_alloc and are turned into a code by Parse.
struct PatternCompiler {
    using Instr = PatternMatcher::Instr;

    const std::wstring& text;
    int& groupCount;
    std::vector<PatternMatcher::CharSet>& sets;
    std::size_t pos = 0;
    int error = PatternOk;

    bool AtEnd() const { return pos >= text.size(); }

    NodePtr Fail(int code) {
        if (error == PatternOk) error = code;
        return nullptr;
    }

    // Terms up to the end, a closing character, or a term dropped for a dangling '|'.
    NodePtr ParseSequence() {
        NodePtr seq = MakeNode(Node::Sequence);
        seq->nullable = true;
        while (NodePtr term = ParseAlternation()) {
            seq->nullable = seq->nullable && term->nullable;
            seq->children.push_back(std::move(term));
        }
        return error == PatternOk ? std::move(seq) : nullptr;
    }

    NodePtr ParseAlternation() {
        NodePtr first = ParseTerm();
        if (!first || AtEnd() || text[pos] != L'|') return first;
        NodePtr alt = MakeNode(Node::Alternation);
        alt->nullable = first->nullable;
        alt->children.push_back(std::move(first));
        while (!AtEnd() && text[pos] == L'|') {
            ++pos;
            NodePtr next = ParseTerm();
            // Nothing usable after '|': the term is dropped and the sequence ends here.
            if (!next) return nullptr;
            alt->nullable = alt->nullable || next->nullable;
            alt->children.push_back(std::move(next));
        }
        return alt;
    }

    NodePtr ParseTerm() {
        NodePtr arg = ParseArgument();
        if (!arg || AtEnd()) return arg;
        const wchar_t q = text[pos];
        if (q != L'*' && q != L'+' && q != L'?') return arg;
        ++pos;
        const bool lazy = !AtEnd() && text[pos] == L'?';
        if (lazy) ++pos;
        if (q != L'?' && arg->nullable) return Fail(PatternEmptyLoop);
        NodePtr rep = MakeNode(Node::Repeat, q);
        rep->lazy = lazy;
        rep->nullable = q != L'+';
        rep->children.push_back(std::move(arg));
        return rep;
    }

    NodePtr ParseArgument() {
        if (AtEnd()) return nullptr;
        const wchar_t c = text[pos];
        switch (c) {
        case L')':
        case L']':
        case L'}':
            // Closes the enclosing group; at the top level it ends the pattern.
            return nullptr;
        case L'(':
        case L'{':
            return ParseGroup(c == L'{');
        case L'[':
            return ParseSet();
        case L'.':
            ++pos;
            return MakeNode(Node::Any);
        case L'\\':
            return ParseEscape();
        case L'!': {
            ++pos;
            NodePtr arg = ParseArgument();
            if (!arg) return nullptr;
            NodePtr look = MakeNode(Node::NotAhead);
            look->nullable = arg->nullable;
            look->children.push_back(std::move(arg));
            return look;
        }
        case L'$':
            if (pos + 1 == text.size()) {
                ++pos;
                return MakeNode(Node::End);
            }
            break;
        default:
            break;
        }
        ++pos;
        return MakeNode(Node::Char, c);
    }

    NodePtr ParseGroup(bool capture) {
        ++pos;
        const int number = capture ? groupCount++ : -1;
        NodePtr seq = ParseSequence();
        if (!seq) return nullptr;
        if (AtEnd() || text[pos] != (capture ? L'}' : L')'))
            return Fail(capture ? PatternUnclosedCapture : PatternUnclosedGroup);
        ++pos;
        if (capture) {
            seq->kind = Node::Capture;
            seq->value = number;
        }
        return seq;
    }

    NodePtr ParseSet() {
        ++pos;
        PatternMatcher::CharSet set;
        set.negated = !AtEnd() && text[pos] == L'^';
        if (set.negated) ++pos;
        if (!AtEnd() && text[pos] == L']') return Fail(PatternEmptySet);
        for (;;) {
            if (AtEnd()) return Fail(PatternUnclosedSet);
            if (text[pos] == L']') break;
            wchar_t low = text[pos++];
            if (low == L'\\') {
                if (AtEnd()) return Fail(PatternUnclosedSet);
                low = text[pos++];
                if (low == L't') low = L'\t';
            }
            wchar_t high = low;
            if (!AtEnd() && text[pos] == L'-') {
                ++pos;
                if (AtEnd() || text[pos] == L']') return Fail(PatternUnclosedSet);
                high = text[pos++];  // taken as written: no escape here
                if (high < low) return Fail(PatternBadRange);
            }
            set.ranges.emplace_back(low, high);
        }
        ++pos;
        sets.push_back(std::move(set));
        return MakeNode(Node::Set, static_cast<int>(sets.size() - 1));
    }

    NodePtr ParseEscape() {
        ++pos;
        // A lone backslash at the very end has nothing to escape: it stands for itself.
        if (AtEnd()) return MakeNode(Node::Char, L'\\');
        const wchar_t c = text[pos];
        if (c >= L'0' && c <= L'9') {
            long number = 0;
            for (; !AtEnd() && text[pos] >= L'0' && text[pos] <= L'9'; ++pos) {
                if (number <= std::numeric_limits<int>::max()) number = number * 10 + (text[pos] - L'0');
            }
            if (number >= groupCount) return Fail(PatternBadBackReference);
            return MakeNode(Node::BackRef, static_cast<int>(number));
        }
        ++pos;
        for (const wchar_t* entry : kAbbreviations) {
            if (entry[0] != c) continue;
            const std::wstring expansion(entry + 1);
            PatternCompiler sub{expansion, groupCount, sets};
            NodePtr term = sub.ParseTerm();
            if (!term) return Fail(PatternBadAbbreviation);
            return term;
        }
        return MakeNode(Node::Char, c);
    }

    // Flattening.

    static int Add(std::vector<Instr>& code, PatternMatcher::Op op, int x = 0, int y = 0) {
        code.push_back(Instr{op, x, y});
        return static_cast<int>(code.size() - 1);
    }

    static void Emit(const Node& node, std::vector<Instr>& code, int& slots) {
        switch (node.kind) {
        case Node::Char:
            Add(code, PatternMatcher::OpChar, node.value);
            break;
        case Node::Any:
            Add(code, PatternMatcher::OpAny);
            break;
        case Node::Set:
            Add(code, PatternMatcher::OpSet, node.value);
            break;
        case Node::BackRef:
            Add(code, PatternMatcher::OpBackRef, node.value);
            break;
        case Node::End:
            Add(code, PatternMatcher::OpEnd);
            break;
        case Node::Sequence:
            for (const auto& child : node.children) Emit(*child, code, slots);
            break;
        case Node::Capture: {
            const int slot = slots++;
            Add(code, PatternMatcher::OpGroupStart, 0, slot);
            for (const auto& child : node.children) Emit(*child, code, slots);
            Add(code, PatternMatcher::OpGroupEnd, node.value, slot);
            break;
        }
        case Node::Alternation: {
            std::vector<int> exits;
            for (std::size_t i = 0; i + 1 < node.children.size(); ++i) {
                const int split = Add(code, PatternMatcher::OpSplit);
                code[split].x = split + 1;
                Emit(*node.children[i], code, slots);
                exits.push_back(Add(code, PatternMatcher::OpJump));
                code[split].y = static_cast<int>(code.size());
            }
            Emit(*node.children.back(), code, slots);
            for (int exit : exits) code[exit].x = static_cast<int>(code.size());
            break;
        }
        case Node::Repeat:
            EmitRepeat(node, code, slots);
            break;
        case Node::NotAhead: {
            const int slot = slots++;
            const int look = Add(code, PatternMatcher::OpLookStart, 0, slot);
            Emit(*node.children[0], code, slots);
            Add(code, PatternMatcher::OpLookEnd, 0, slot);
            code[look].x = static_cast<int>(code.size());
            break;
        }
        }
    }

    // Greedy loops try another repetition first, lazy ones try leaving first.
    static void Prefer(Instr& split, bool lazy, int repeat, int leave) {
        split.x = lazy ? leave : repeat;
        split.y = lazy ? repeat : leave;
    }

    static void EmitRepeat(const Node& node, std::vector<Instr>& code, int& slots) {
        const Node& body = *node.children[0];
        if (node.value == L'?') {
            const int split = Add(code, PatternMatcher::OpSplit);
            Emit(body, code, slots);
            Prefer(code[split], node.lazy, split + 1, static_cast<int>(code.size()));
            return;
        }
        // Loops remember where each iteration began: one that consumed nothing (a look-ahead, a
        // back-reference to empty text) must not be repeated, or the loop would never end.
        const int slot = slots++;
        if (node.value == L'*') {
            const int split = Add(code, PatternMatcher::OpSplit);
            Add(code, PatternMatcher::OpLoopMark, 0, slot);
            Emit(body, code, slots);
            const int check = Add(code, PatternMatcher::OpLoopCheck, 0, slot);
            Add(code, PatternMatcher::OpJump, split);
            const int after = static_cast<int>(code.size());
            code[check].x = after;
            Prefer(code[split], node.lazy, split + 1, after);
        } else {
            const int top = Add(code, PatternMatcher::OpLoopMark, 0, slot);
            Emit(body, code, slots);
            const int check = Add(code, PatternMatcher::OpLoopCheck, 0, slot);
            const int split = Add(code, PatternMatcher::OpSplit);
            const int after = static_cast<int>(code.size());
            code[check].x = after;
            Prefer(code[split], node.lazy, top, after);
        }
    }
};

bool MatchContext::HasGroup(int i) const noexcept {
    return i >= 0 && i < GroupCount() && groups_[i].start >= 0;
}

const wchar_t* MatchContext::GroupStart(int i) const noexcept {
    return HasGroup(i) ? input_ + groups_[i].start : nullptr;
}

const wchar_t* MatchContext::GroupEnd(int i) const noexcept {
    return HasGroup(i) ? input_ + groups_[i].end : nullptr;
}

std::wstring MatchContext::GroupText(int i) const {
    if (!HasGroup(i)) return std::wstring();
    try {
        return std::wstring(input_ + groups_[i].start, input_ + groups_[i].end);
    } catch (const std::exception&) {
        return std::wstring();
    }
}

bool MatchContext::Reset(const wchar_t* input, int groups, int slots) noexcept {
    input_ = input;
    matched_ = false;
    matchStart_ = matchEnd_ = 0;
    stackTop_ = 0;
    try {
        groups_.assign(static_cast<std::size_t>(groups), Bounds{-1, -1});
        memory_.assign(static_cast<std::size_t>(slots), -1);
    } catch (const std::exception&) {
        groups_.clear();
        memory_.clear();
        return false;
    }
    if (!stack_) {
        stack_.reset(new (std::nothrow) StackEntry[kInitialStackEntries]);
        if (!stack_) return false;
        stackSize_ = kInitialStackEntries;
    }
    return true;
}

bool MatchContext::Push(int kind, int index, std::ptrdiff_t a, std::ptrdiff_t b) noexcept {
    if (stackTop_ == stackSize_) {
        const std::size_t most = std::numeric_limits<std::size_t>::max() / sizeof(StackEntry);
        if (stackTop_ > (most - 4) / 2) return false;
        const std::size_t size = stackTop_ * 2 + 4;
        std::unique_ptr<StackEntry[]> bigger(new (std::nothrow) StackEntry[size]);
        if (!bigger) return false;
        std::copy(stack_.get(), stack_.get() + stackTop_, bigger.get());
        stack_ = std::move(bigger);
        stackSize_ = size;
    }
    stack_[stackTop_++] = StackEntry{kind, index, a, b};
    return true;
}

int PatternMatcher::Parse(const wchar_t* pattern, bool caseSensitive) noexcept {
    program_.clear();
    sets_.clear();
    groupCount_ = 0;
    slotCount_ = 0;
    caseSensitive_ = caseSensitive;
    anchored_ = false;
    if (!pattern) return parseCode_ = PatternMissing;
    try {
        std::wstring text(pattern);
        if (!caseSensitive) ToLower(text);
        PatternCompiler compiler{text, groupCount_, sets_};
        if (!text.empty() && text[0] == L'^') {
            anchored_ = true;
            compiler.pos = 1;
        }
        // At the top level a closing character ends the pattern; the rest is ignored.
        NodePtr root = compiler.ParseSequence();
        parseCode_ = compiler.error;
        if (root) {
            PatternCompiler::Emit(*root, program_, slotCount_);
            program_.push_back(Instr{OpMatch, 0, 0});
        }
    } catch (const std::exception&) {
        // Only allocation throws here (bad_alloc, or length_error for absurd sizes).
        parseCode_ = PatternOutOfMemory;
    }
    if (parseCode_ != PatternOk) {
        program_.clear();
        sets_.clear();
        groupCount_ = 0;
        slotCount_ = 0;
    }
    return parseCode_;
}

bool PatternMatcher::Match(const wchar_t* input, MatchContext* ctx, const wchar_t** end) const noexcept {
    if (!input || !ctx) return false;
    if (!ctx->Reset(input, groupCount_, slotCount_)) return false;
    if (parseCode_ != PatternOk) return false;

    const std::size_t length = std::wcslen(input);
    const wchar_t* text = input;
    std::wstring lowered;
    if (!caseSensitive_) {
        try {
            lowered.assign(input, length);
        } catch (const std::exception&) {
            return false;
        }
        ToLower(lowered);
        text = lowered.c_str();
    }

    // The position after the last character is never a start, except in an empty input.
    const std::size_t lastStart = (anchored_ || length == 0) ? 0 : length - 1;
    for (std::size_t start = 0; start <= lastStart; ++start) {
        const int result = Run(text, length, start, *ctx);
        if (result < 0) {
            ctx->Reset(input, groupCount_, slotCount_);
            return false;
        }
        if (result > 0) {
            ctx->matched_ = true;
            ctx->matchStart_ = static_cast<std::ptrdiff_t>(start);
            if (end) *end = input + ctx->matchEnd_;
            return true;
        }
    }
    return false;
}

bool PatternMatcher::CharSet::Contains(wchar_t c) const noexcept {
    bool inside = false;
    for (const auto& range : ranges) {
        if (c >= range.first && c <= range.second) {
            inside = true;
            break;
        }
    }
    return inside != negated;
}

// 1 on a match (ctx.matchEnd_ set), 0 when nothing matches at start, -1 when the stack cannot
// grow. A failed run leaves groups and memory as it found them: every change is undone.
int PatternMatcher::Run(const wchar_t* text, std::size_t length, std::size_t start, MatchContext& ctx) const noexcept {
    using Pos = std::ptrdiff_t;
    const Pos len = static_cast<Pos>(length);
    Pos pos = static_cast<Pos>(start);
    int pc = 0;
    ctx.stackTop_ = 0;

    auto undo = [&ctx](const MatchContext::StackEntry& e) {
        if (e.kind == EntryGroup) {
            ctx.groups_[e.index] = MatchContext::Bounds{e.a, e.b};
        } else if (e.kind == EntryMemory) {
            ctx.memory_[e.index] = e.a;
        }
    };
    auto setMemory = [&ctx](int slot, Pos value) {
        if (!ctx.Push(EntryMemory, slot, ctx.memory_[slot])) return false;
        ctx.memory_[slot] = value;
        return true;
    };

    for (;;) {
        const Instr& in = program_[pc];
        bool ok = true;
        switch (in.op) {
        case OpChar:
            ok = pos < len && text[pos] == static_cast<wchar_t>(in.x);
            if (ok) ++pos;
            ++pc;
            break;
        case OpAny:
            ok = pos < len;
            if (ok) ++pos;
            ++pc;
            break;
        case OpSet:
            ok = pos < len && sets_[in.x].Contains(text[pos]);
            if (ok) ++pos;
            ++pc;
            break;
        case OpBackRef: {
            // A group without bounds stands for the empty text.
            const MatchContext::Bounds& group = ctx.groups_[in.x];
            if (group.start >= 0) {
                const Pos n = group.end - group.start;
                ok = len - pos >= n && std::wmemcmp(text + group.start, text + pos, static_cast<std::size_t>(n)) == 0;
                if (ok) pos += n;
            }
            ++pc;
            break;
        }
        case OpEnd:
            ok = pos == len;
            ++pc;
            break;
        case OpSplit:
            if (!ctx.Push(EntryChoice, in.y, pos)) return -1;
            pc = in.x;
            break;
        case OpJump:
            pc = in.x;
            break;
        case OpGroupStart:
        case OpLoopMark:
            if (!setMemory(in.y, pos)) return -1;
            ++pc;
            break;
        case OpGroupEnd: {
            // Bounds change only when a pass completes, so a group never shows half a pass.
            MatchContext::Bounds& group = ctx.groups_[in.x];
            if (!ctx.Push(EntryGroup, in.x, group.start, group.end)) return -1;
            group = MatchContext::Bounds{ctx.memory_[in.y], pos};
            ++pc;
            break;
        }
        case OpLoopCheck:
            pc = pos == ctx.memory_[in.y] ? in.x : pc + 1;
            break;
        case OpLookStart:
            if (!ctx.Push(EntryMemory, in.y, ctx.memory_[in.y])) return -1;
            ctx.memory_[in.y] = static_cast<Pos>(ctx.stackTop_);
            if (!ctx.Push(EntryBarrier, in.x, pos)) return -1;
            ++pc;
            break;
        case OpLookEnd: {
            // The argument matched, so the look-ahead fails: drop the argument's choices (and
            // undo its changes) down to and including the barrier, then backtrack.
            const std::size_t barrier = static_cast<std::size_t>(ctx.memory_[in.y]);
            while (ctx.stackTop_ > barrier) undo(ctx.stack_[--ctx.stackTop_]);
            ok = false;
            break;
        }
        case OpMatch:
            ctx.matchEnd_ = pos;
            return 1;
        }
        if (ok) continue;

        for (;;) {
            if (ctx.stackTop_ == 0) return 0;
            const MatchContext::StackEntry& e = ctx.stack_[--ctx.stackTop_];
            // A choice resumes its other path; a barrier reached this way means the look-ahead's
            // argument failed, so the look-ahead holds and matching goes on after it.
            if (e.kind == EntryChoice || e.kind == EntryBarrier) {
                pc = e.index;
                pos = e.a;
                break;
            }
            undo(e);
        }
    }
}
