#include "tools/wmi_host/mof_reader.h"

#include <cstring>
#include <cwchar>
#include <cwctype>
#include <utility>

#include "common/util/system_error_text.h"
#include "common/util/unique_resource.h"

namespace wmihost {

bool CaseInsensitiveLess::operator()(const std::wstring& a, const std::wstring& b) const noexcept
{
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_LESS_THAN;
}

bool EqualsIgnoringCase(const std::wstring& a, const std::wstring& b) noexcept
{
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

namespace {

const struct {
    const wchar_t* name;
    CIMTYPE type;
} kTypes[] = {
    {L"string", CIM_STRING}, {L"datetime", CIM_DATETIME}, {L"boolean", CIM_BOOLEAN},
    {L"char16", CIM_CHAR16}, {L"uint8", CIM_UINT8},       {L"sint8", CIM_SINT8},
    {L"uint16", CIM_UINT16}, {L"sint16", CIM_SINT16},     {L"uint32", CIM_UINT32},
    {L"sint32", CIM_SINT32}, {L"uint64", CIM_UINT64},     {L"sint64", CIM_SINT64},
    {L"real32", CIM_REAL32}, {L"real64", CIM_REAL64},
};

enum class TokenKind { End, Identifier, Alias, String, Number, Punct };

struct Token {
    TokenKind kind = TokenKind::End;
    std::wstring text;  // a string's value, a punctuator's character
    int line = 0;
};

bool IsNameStart(wchar_t c) { return c == L'_' || std::iswalpha(c); }
bool IsNamePart(wchar_t c) { return c == L'_' || std::iswalnum(c); }

std::wstring LinePrefix(int line) { return L"line " + std::to_wstring(line) + L": "; }

class Lexer {
public:
    explicit Lexer(const std::wstring& text) : text_(text) {}

    bool Run(std::vector<Token>& tokens, std::wstring& error)
    {
        for (;;) {
            SkipSpaceAndComments();
            if (!error_.empty()) {
                break;
            }
            if (pos_ >= text_.size()) {
                tokens.push_back(Token{TokenKind::End, L"", line_});
                return true;
            }
            Token token;
            if (!Next(token)) {
                break;
            }
            tokens.push_back(std::move(token));
        }
        error = error_;
        return false;
    }

private:
    wchar_t Peek(size_t ahead = 0) const
    {
        return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : L'\0';
    }

    bool Fail(int line, const std::wstring& message)
    {
        error_ = LinePrefix(line) + message;
        return false;
    }

    void SkipSpaceAndComments()
    {
        while (pos_ < text_.size()) {
            const wchar_t c = text_[pos_];
            if (c == L'\n') {
                ++line_;
                ++pos_;
            } else if (std::iswspace(c)) {
                ++pos_;
            } else if (c == L'/' && Peek(1) == L'/') {
                SkipToEndOfLine();
            } else if (c == L'/' && Peek(1) == L'*') {
                const int start = line_;
                pos_ += 2;
                while (pos_ < text_.size() && !(text_[pos_] == L'*' && Peek(1) == L'/')) {
                    line_ += text_[pos_] == L'\n' ? 1 : 0;
                    ++pos_;
                }
                if (pos_ >= text_.size()) {
                    Fail(start, L"comment is never closed");
                    return;
                }
                pos_ += 2;
            } else if (c == L'#') {
                // Pragmas choose the namespace and recovery of a real WMI: nothing here.
                if (text_.compare(pos_, 7, L"#pragma") != 0) {
                    Fail(line_, L"unknown directive");
                    return;
                }
                SkipToEndOfLine();
            } else {
                return;
            }
        }
    }

    void SkipToEndOfLine()
    {
        while (pos_ < text_.size() && text_[pos_] != L'\n') {
            ++pos_;
        }
    }

    bool Next(Token& token)
    {
        token.line = line_;
        const wchar_t c = text_[pos_];
        if (IsNameStart(c) || (c == L'$' && IsNameStart(Peek(1)))) {
            token.kind = c == L'$' ? TokenKind::Alias : TokenKind::Identifier;
            const size_t start = pos_++;
            while (pos_ < text_.size() && IsNamePart(text_[pos_])) {
                ++pos_;
            }
            token.text = text_.substr(start, pos_ - start);
            return true;
        }
        if (c == L'"') {
            token.kind = TokenKind::String;
            return ReadString(token.text);
        }
        if (std::iswdigit(c) || ((c == L'-' || c == L'+') && std::iswdigit(Peek(1)))) {
            token.kind = TokenKind::Number;
            const size_t start = pos_++;
            while (pos_ < text_.size()) {
                const wchar_t d = text_[pos_];
                const wchar_t before = text_[pos_ - 1];
                const bool exponentSign = (d == L'-' || d == L'+') && (before == L'e' || before == L'E');
                if (!std::iswalnum(d) && d != L'.' && !exponentSign) {
                    break;
                }
                ++pos_;
            }
            token.text = text_.substr(start, pos_ - start);
            return true;
        }
        if (std::wcschr(L"[](){},;:=", c) != nullptr) {
            token.kind = TokenKind::Punct;
            token.text.assign(1, c);
            ++pos_;
            return true;
        }
        return Fail(line_, std::wstring(L"unexpected character '") + c + L"'");
    }

    bool ReadString(std::wstring& value)
    {
        const int start = line_;
        ++pos_;  // the opening quote
        while (pos_ < text_.size()) {
            const wchar_t c = text_[pos_++];
            if (c == L'"') {
                return true;
            }
            if (c == L'\n') {
                break;
            }
            if (c != L'\\') {
                value += c;
                continue;
            }
            const wchar_t e = Peek();
            ++pos_;
            switch (e) {
            case L'b': value += L'\b'; break;
            case L't': value += L'\t'; break;
            case L'n': value += L'\n'; break;
            case L'f': value += L'\f'; break;
            case L'r': value += L'\r'; break;
            case L'"': value += L'"'; break;
            case L'\'': value += L'\''; break;
            case L'\\': value += L'\\'; break;
            case L'x':
            case L'X': {
                unsigned code = 0;
                int digits = 0;
                while (digits < 4 && std::iswxdigit(Peek())) {
                    const wchar_t h = text_[pos_++];
                    code = code * 16 + (std::iswdigit(h) ? h - L'0' : (std::towlower(h) - L'a' + 10));
                    ++digits;
                }
                if (digits == 0) {
                    return Fail(line_, L"\\x without hex digits");
                }
                value += static_cast<wchar_t>(code);
                break;
            }
            default:
                return Fail(line_, L"unknown escape in a string");
            }
        }
        return Fail(start, L"string is never closed");
    }

    const std::wstring& text_;
    size_t pos_ = 0;
    int line_ = 1;
    std::wstring error_;
};

class Parser {
public:
    explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

    bool Run(std::vector<ClassDef>& classes, std::wstring& error)
    {
        while (Current().kind != TokenKind::End) {
            Qualifiers qualifiers;
            if (IsPunct(L"[") && !ReadQualifiers(qualifiers)) {
                break;
            }
            if (IsKeyword(L"instance")) {
                if (!SkipInstance()) {
                    break;
                }
            } else if (IsKeyword(L"class")) {
                ClassDef definition;
                definition.qualifiers = std::move(qualifiers);
                if (!ReadClass(definition)) {
                    break;
                }
                classes.push_back(std::move(definition));
            } else {
                Unexpected(L"'class' or 'instance of'");
                break;
            }
        }
        error = error_;
        return error_.empty();
    }

private:
    const Token& Current() const { return tokens_[pos_]; }
    void Advance()
    {
        if (Current().kind != TokenKind::End) {
            ++pos_;
        }
    }
    bool IsPunct(const wchar_t* p) const
    {
        return Current().kind == TokenKind::Punct && Current().text == p;
    }
    bool IsKeyword(const wchar_t* word) const
    {
        return Current().kind == TokenKind::Identifier && EqualsIgnoringCase(Current().text, word);
    }

    bool Fail(int line, const std::wstring& message)
    {
        error_ = LinePrefix(line) + message;
        return false;
    }

    bool Unexpected(const std::wstring& wanted)
    {
        const Token& t = Current();
        if (t.kind == TokenKind::End) {
            return Fail(t.line, L"expected " + wanted + L", found the end of the file");
        }
        const std::wstring found = t.kind == TokenKind::String ? L"\"" + t.text + L"\"" : t.text;
        return Fail(t.line, L"expected " + wanted + L", found '" + found + L"'");
    }

    bool ExpectPunct(const wchar_t* p, const std::wstring& after)
    {
        if (!IsPunct(p)) {
            return Unexpected(std::wstring(L"'") + p + L"' after " + after);
        }
        Advance();
        return true;
    }

    // Reported at the closing brace: the next token may be lines away.
    bool ExpectSemicolonAfterBlock(int closeLine, const std::wstring& block)
    {
        if (!IsPunct(L";")) {
            return Fail(closeLine, L"expected ';' after " + block);
        }
        Advance();
        return true;
    }

    bool ReadName(std::wstring& name, const std::wstring& what)
    {
        if (Current().kind != TokenKind::Identifier) {
            return Unexpected(what);
        }
        name = Current().text;
        Advance();
        return true;
    }

    bool ReadQualifiers(Qualifiers& qualifiers)
    {
        const int open = Current().line;
        Advance();  // '['
        for (;;) {
            if (Current().kind == TokenKind::End) {
                return Fail(open, L"qualifier list '[' is never closed");
            }
            const int line = Current().line;
            std::wstring name;
            if (!ReadName(name, L"a qualifier name")) {
                return false;
            }
            std::wstring value = L"TRUE";
            if (IsPunct(L"(")) {
                Advance();
                if (!ReadValue(value) || !ExpectPunct(L")", L"the value of qualifier " + name)) {
                    return false;
                }
            } else if (IsPunct(L"{")) {
                return Fail(Current().line, L"array values of qualifier " + name + L" are not supported");
            }
            if (IsPunct(L":")) {
                // Flavors (ToSubclass, Amended, ...) only steer propagation in a repository.
                Advance();
                while (Current().kind == TokenKind::Identifier) {
                    Advance();
                }
            }
            if (!qualifiers.emplace(name, value).second) {
                return Fail(line, L"qualifier " + name + L" is given twice");
            }
            if (Current().kind == TokenKind::End) {
                return Fail(open, L"qualifier list '[' is never closed");
            }
            if (IsPunct(L"]")) {
                Advance();
                return true;
            }
            if (!ExpectPunct(L",", L"qualifier " + name)) {
                return false;
            }
        }
    }

    bool ReadValue(std::wstring& value)
    {
        const Token& t = Current();
        if (t.kind == TokenKind::String) {
            value.clear();
            // Adjacent literals join, as in C.
            while (Current().kind == TokenKind::String) {
                value += Current().text;
                Advance();
            }
            return true;
        }
        if (t.kind == TokenKind::Number) {
            value = t.text;
            Advance();
            return true;
        }
        for (const wchar_t* word : {L"TRUE", L"FALSE", L"NULL"}) {
            if (IsKeyword(word)) {
                value = word;
                Advance();
                return true;
            }
        }
        return Unexpected(L"a string, number, TRUE, FALSE or NULL");
    }

    bool SkipInstance()
    {
        Advance();  // 'instance'
        if (!IsKeyword(L"of")) {
            return Unexpected(L"'of' after 'instance'");
        }
        Advance();
        std::wstring className;
        if (!ReadName(className, L"a class name after 'instance of'")) {
            return false;
        }
        if (IsKeyword(L"as")) {
            Advance();
            if (Current().kind != TokenKind::Alias) {
                return Unexpected(L"an alias ($name) after 'as'");
            }
            Advance();
        }
        if (!IsPunct(L"{")) {
            return Unexpected(L"'{' after 'instance of " + className + L"'");
        }
        const int open = Current().line;
        int close = open;
        int depth = 0;
        do {
            if (Current().kind == TokenKind::End) {
                return Fail(open, L"instance of " + className + L": '{' is never closed");
            }
            depth += IsPunct(L"{") ? 1 : IsPunct(L"}") ? -1 : 0;
            close = Current().line;
            Advance();
        } while (depth > 0);
        return ExpectSemicolonAfterBlock(close, L"instance of " + className);
    }

    bool ReadClass(ClassDef& definition)
    {
        Advance();  // 'class'
        if (!ReadName(definition.name, L"a class name")) {
            return false;
        }
        if (IsPunct(L":")) {
            Advance();
            if (!ReadName(definition.superclass, L"a superclass name after ':'")) {
                return false;
            }
        }
        if (!IsPunct(L"{")) {
            return Unexpected(L"'{' after class " + definition.name);
        }
        const int open = Current().line;
        Advance();
        const std::wstring unclosed = L"class " + definition.name + L": '{' is never closed";
        while (!IsPunct(L"}")) {
            if (Current().kind == TokenKind::End) {
                return Fail(open, unclosed);
            }
            PropertyDef property;
            if (IsPunct(L"[") && !ReadQualifiers(property.qualifiers)) {
                return false;
            }
            if (!ReadProperty(definition, property)) {
                return false;
            }
            if (Current().kind == TokenKind::End) {
                return Fail(open, unclosed);
            }
            definition.properties.push_back(std::move(property));
        }
        const int close = Current().line;
        Advance();
        return ExpectSemicolonAfterBlock(close, L"class " + definition.name);
    }

    bool ReadProperty(const ClassDef& definition, PropertyDef& property)
    {
        const Token typeToken = Current();
        std::wstring typeName;
        if (!ReadName(typeName, L"a property type")) {
            return false;
        }
        for (const auto& t : kTypes) {
            if (EqualsIgnoringCase(typeName, t.name)) {
                property.type = t.type;
            }
        }
        if (property.type == CIM_EMPTY) {
            return Fail(typeToken.line, L"unknown type '" + typeName + L"'");
        }
        const int line = Current().line;
        if (!ReadName(property.name, L"a property name after " + typeName)) {
            return false;
        }
        for (const PropertyDef& other : definition.properties) {
            if (EqualsIgnoringCase(other.name, property.name)) {
                return Fail(line, L"property " + property.name + L" is declared twice");
            }
        }
        if (IsPunct(L"(") || IsPunct(L"[") || IsPunct(L"=")) {
            return Fail(Current().line, L"property " + property.name +
                                            L": methods, arrays and default values are not supported");
        }
        if (!IsPunct(L";") && Current().kind != TokenKind::End) {
            return Fail(line, L"expected ';' after property " + property.name);
        }
        Advance();
        const auto key = property.qualifiers.find(L"key");
        property.key = key != property.qualifiers.end() && !EqualsIgnoringCase(key->second, L"FALSE");
        return true;
    }

    std::vector<Token> tokens_;
    size_t pos_ = 0;
    std::wstring error_;
};

std::wstring ErrorText(DWORD code)
{
    const SystemErrorText text(code);
    return std::to_wstring(code) + L" - " + text.Text();
}

}  // namespace

std::wstring CimTypeName(CIMTYPE type)
{
    for (const auto& t : kTypes) {
        if (t.type == type) {
            return t.name;
        }
    }
    return std::wstring();
}

bool ParseMofClasses(const std::wstring& text, std::vector<ClassDef>& classes, std::wstring& error)
{
    std::vector<Token> tokens;
    if (!Lexer(text).Run(tokens, error)) {
        return false;
    }
    return Parser(std::move(tokens)).Run(classes, error);
}

bool ReadMofClasses(const std::wstring& path, std::vector<ClassDef>& classes, std::wstring& error)
{
    unique_file file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        error = L"cannot open " + path + L": " + ErrorText(::GetLastError());
        return false;
    }
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size)) {
        error = L"cannot read " + path + L": " + ErrorText(::GetLastError());
        return false;
    }
    if (size.QuadPart > 64 * 1024 * 1024) {
        error = path + L" is too large for a class file";
        return false;
    }
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!bytes.empty() &&
        (!::ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr) ||
         read != bytes.size())) {
        error = L"cannot read " + path + L": " + ErrorText(::GetLastError());
        return false;
    }

    std::wstring text;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        text.resize((bytes.size() - 2) / 2);
        if (!text.empty()) {
            std::memcpy(&text[0], bytes.data() + 2, text.size() * sizeof(wchar_t));
        }
    } else {
        const size_t start = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
        const int units = static_cast<int>(bytes.size() - start);
        if (units > 0) {
            const int wide = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data() + start,
                                                   units, nullptr, 0);
            if (wide <= 0) {
                error = path + L" is not UTF-8 text";
                return false;
            }
            text.resize(static_cast<size_t>(wide));
            ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data() + start, units, &text[0], wide);
        }
    }
    if (!ParseMofClasses(text, classes, error)) {
        error = path + L": " + error;
        return false;
    }
    return true;
}

}  // namespace wmihost
