#include "core/scriptrewrite.hpp"

#include <algorithm>
#include <cstdio>

namespace gemlo::core {

namespace {

// Python identifiers may hold any letter of Unicode: every byte of a
// non-ASCII character counts, so a name never matches inside one.
bool is_ident(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c >= 0x80;
}

// Bytes of the UTF-8 character that starts with `c` (1 for a stray byte).
std::size_t char_len(unsigned char c) {
    if (c >= 0xF0 && c < 0xF8) return 4;
    if (c >= 0xE0) return c < 0xF0 ? 3 : 1;
    if (c >= 0xC0) return 2;
    return 1;
}

bool is_quote(char c) { return c == '\'' || c == '"'; }

// String prefixes: r, u, b, f and their pairs; t (template strings) from Python 3.14.
struct Prefix {
    bool valid, raw, fmt;
};

Prefix parse_prefix(std::string_view run) {
    bool raw = false, fmt = false, bytes = false, u = false;
    if (run.size() > 2) return {false, false, false};
    for (char c : run) {
        switch (c | 0x20) {
            case 'r':
                if (raw) return {false, false, false};
                raw = true;
                break;
            case 'f':
            case 't':
                if (fmt) return {false, false, false};
                fmt = true;
                break;
            case 'b':
                if (bytes) return {false, false, false};
                bytes = true;
                break;
            case 'u':
                u = true;
                break;
            default:
                return {false, false, false};
        }
    }
    if ((u && run.size() > 1) || (bytes && fmt)) return {false, false, false};
    return {true, raw, fmt};
}

struct Frame {
    enum Kind { String, Field } kind;
    char quote = 0;          // String
    bool triple = false;     // String
    bool raw = false;        // String
    bool fmt = false;        // String: an f-string, whose braces open fields
    int depth = 0;           // Field: brackets open inside the expression
    bool in_format = false;  // Field: in the format after ':'
};

class Rewriter {
public:
    Rewriter(std::string_view s, const std::vector<std::string> &names) : s_(s) {
        for (const std::string &n : names)
            if (!n.empty()) names_.push_back(n);
        // Longest first, so the first match at a position is the longest.
        std::stable_sort(
            names_.begin(), names_.end(),
            [](const std::string &a, const std::string &b) { return a.size() > b.size(); });
        out_.reserve(s.size() + s.size() / 2);
    }

    std::string run() {
        while (i_ < s_.size()) {
            if (stack_.empty()) {
                code();
            } else if (stack_.back().kind == Frame::String) {
                string();
            } else if (stack_.back().in_format) {
                format_part();
            } else {
                code();
            }
        }
        return std::move(out_);
    }

private:
    char at(std::size_t k) const { return k < s_.size() ? s_[k] : '\0'; }
    void copy(std::size_t n) {
        n = std::min(n, s_.size() - i_);
        out_.append(s_.substr(i_, n));
        i_ += n;
    }
    void copy_char() { copy(char_len(static_cast<unsigned char>(s_[i_]))); }

    const std::string *match() const {
        if (i_ > 0 && is_ident(static_cast<unsigned char>(s_[i_ - 1]))) return nullptr;
        std::string_view rest = s_.substr(i_);
        for (const std::string &n : names_) {
            if (rest.starts_with(n) &&
                !(n.size() < rest.size() && is_ident(static_cast<unsigned char>(rest[n.size()]))))
                return &n;
        }
        return nullptr;
    }

    // Python 3.11 ends an f-string at its own quote even inside a field, so
    // the inserted literal takes a quote no enclosing one-line f-string uses.
    char free_quote() const {
        bool single = false, dbl = false;
        for (const Frame &f : stack_) {
            if (f.kind == Frame::String && !f.triple) (f.quote == '\'' ? single : dbl) = true;
        }
        return single && !dbl ? '"' : '\'';
    }

    void insert_reference(const std::string &name) {
        const char q = free_quote();
        out_ += "self.dob.prop[";
        out_ += q;
        for (char ch : name) {
            const auto c = static_cast<unsigned char>(ch);
            if (c == '\\' || c == '\'' || c == '"') {
                out_ += '\\';
                out_ += ch;
            } else if (c < 0x20 || c == 0x7f) {
                // A raw newline would end the literal; NUL may not appear in source.
                char hex[5];
                std::snprintf(hex, sizeof hex, "\\x%02x", c);
                out_ += hex;
            } else {
                out_ += ch;
            }
        }
        out_ += q;
        out_ += "][self.dob.prop_array_key][:]";
    }

    void open_string(Prefix p) {
        Frame f{Frame::String};
        f.quote = s_[i_];
        f.triple = at(i_ + 1) == f.quote && at(i_ + 2) == f.quote;
        f.raw = p.raw;
        f.fmt = p.fmt;
        copy(f.triple ? 3 : 1);
        stack_.push_back(f);
    }

    // Code: at top level, or the expression of an f-string field.
    void code() {
        const char c = s_[i_];
        std::size_t run = i_;  // end of the identifier that starts here
        while (run < s_.size() && is_ident(static_cast<unsigned char>(s_[run]))) ++run;
        // A prefix before a quote (rb'...', f"...") starts a string, never a name.
        if (Prefix p = parse_prefix(s_.substr(i_, run - i_));
            run > i_ && p.valid && is_quote(at(run))) {
            copy(run - i_);
            open_string(p);
            return;
        }
        if (const std::string *name = match()) {
            insert_reference(*name);
            i_ += name->size();
            return;
        }
        Frame *field = stack_.empty() ? nullptr : &stack_.back();
        if (run > i_) {
            copy(run - i_);  // no name starts inside an identifier
        } else if (is_quote(c)) {
            open_string({true, false, false});
        } else if (c == '#') {
            std::size_t end = s_.find_first_of("\r\n", i_);
            copy((end == std::string_view::npos ? s_.size() : end) - i_);
        } else if (field && (c == '(' || c == '[' || c == '{')) {
            ++field->depth;
            copy(1);
        } else if (field && (c == ')' || c == ']')) {
            if (field->depth > 0) --field->depth;
            copy(1);
        } else if (field && c == '}') {
            if (field->depth > 0) {
                --field->depth;
            } else {
                stack_.pop_back();
            }
            copy(1);
        } else if (field && field->depth == 0 && c == ':') {
            field->in_format = true;
            copy(1);
        } else if (field && field->depth == 0 && c == '!' && at(i_ + 1) != '=') {
            // Conversion (!r, !s, !a): a letter here is no name.
            std::size_t j = i_ + 1;
            while (j < s_.size() && is_ident(static_cast<unsigned char>(s_[j]))) ++j;
            copy(j - i_);
        } else {
            copy_char();
        }
    }

    // The format of a field (after its colon): text, except for nested fields.
    void format_part() {
        const char c = s_[i_];
        if (c == '{') {
            copy(1);
            stack_.push_back(Frame{Frame::Field});
        } else if (c == '}') {
            copy(1);
            stack_.pop_back();
        } else {
            copy_char();
        }
    }

    void string() {
        Frame &f = stack_.back();
        const char c = s_[i_];
        if (c == f.quote && (!f.triple || (at(i_ + 1) == c && at(i_ + 2) == c))) {
            copy(f.triple ? 3 : 1);
            stack_.pop_back();
        } else if ((c == '\n' || c == '\r') && !f.triple) {
            stack_.pop_back();  // unterminated: Python reports it, the text stays
        } else if (c == '\\') {
            const char next = at(i_ + 1);
            if (f.fmt && !f.raw && next == 'N' && at(i_ + 2) == '{') {
                std::size_t end = s_.find_first_of("}\r\n", i_ + 3);
                copy((end == std::string_view::npos ? s_.size() : end + 1) - i_);
            } else if (f.fmt && (next == '{' || next == '}')) {
                copy(1);  // the brace keeps its meaning
            } else if (next == '\r' && at(i_ + 2) == '\n') {
                copy(3);  // a line continuation
            } else if (i_ + 1 < s_.size()) {
                copy(1);
                copy_char();
            } else {
                copy(1);
            }
        } else if (f.fmt && (c == '{' || c == '}')) {
            if (at(i_ + 1) == c) {
                copy(2);
            } else if (c == '{') {
                copy(1);
                stack_.push_back(Frame{Frame::Field});
            } else {
                copy(1);
            }
        } else {
            copy_char();
        }
    }

    std::string_view s_;
    std::vector<std::string> names_;
    std::vector<Frame> stack_;
    std::string out_;
    std::size_t i_ = 0;
};

}  // namespace

std::string rewrite_property_script(std::string_view script,
                                    const std::vector<std::string> &names) {
    return Rewriter(script, names).run();
}

}  // namespace gemlo::core
