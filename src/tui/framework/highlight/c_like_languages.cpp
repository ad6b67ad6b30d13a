// The words and flags of each C-like language the highlighter knows.
#include <array>

#include "tui/framework/highlight/c_like_rules.hpp"

namespace orvo::tui::lex {
namespace {

// The words of each language, as its reference documentation lists them.

constexpr CRules kPython = {
    .keywords =
        "and as assert async await break continue del elif else except finally for from "
        "global if import in is lambda nonlocal not or pass raise return try while with "
        "yield match case",
    .types =
        "int float str bool bytes list dict set tuple object complex frozenset bytearray "
        "type Exception ValueError TypeError KeyError IndexError RuntimeError OSError",
    .constants = "True False None",
    .builtins = "print len range open isinstance super enumerate zip map filter sorted",
    .def_words = "def",
    .type_words = "class",
    .line_comment = "#",
    .block_comment = false,
    .single = Quote::String,
    .triple = true,
    .string_prefixes = true,
    .decorators = true,
};

constexpr std::string_view kCKeywords =
    "auto break case const continue default do else enum extern for goto if inline register "
    "restrict return sizeof static switch typedef union volatile while _Static_assert _Generic "
    "_Alignas _Alignof _Noreturn _Thread_local";
constexpr std::string_view kCTypes =
    "int char short long float double void signed unsigned _Bool bool size_t ssize_t ptrdiff_t "
    "int8_t int16_t int32_t int64_t uint8_t uint16_t uint32_t uint64_t uintptr_t intptr_t FILE "
    "wchar_t char8_t char16_t char32_t";

constexpr CRules kC = {
    .keywords = kCKeywords,
    .types = kCTypes,
    .constants = "NULL true false",
    .type_words = "struct",
    .line_comment = "//",
    .hash_preproc = true,
};

constexpr CRules kCpp = {
    .keywords =
        "alignas alignof and asm auto break case catch class concept const consteval constexpr "
        "constinit const_cast continue co_await co_return co_yield decltype default delete do "
        "dynamic_cast else enum explicit export extern for friend goto if inline mutable "
        "namespace new noexcept not operator or override final private protected public "
        "register reinterpret_cast requires return sizeof static static_assert static_cast "
        "switch template this thread_local throw try typedef typeid typename union using "
        "virtual volatile while",
    .types =
        "int char short long float double void signed unsigned bool wchar_t char8_t "
        "char16_t char32_t size_t ssize_t ptrdiff_t int8_t int16_t int32_t int64_t uint8_t "
        "uint16_t uint32_t uint64_t uintptr_t intptr_t string string_view wstring vector "
        "array map unordered_map set unordered_set multimap deque list pair tuple optional "
        "variant any span unique_ptr shared_ptr weak_ptr function thread mutex atomic "
        "ostream istream iostream stringstream ostringstream istringstream byte nullptr_t",
    .constants = "nullptr true false NULL",
    .type_words = "class struct",
    .line_comment = "//",
    .cpp_raw = true,
    .hash_preproc = true,
};

constexpr std::string_view kJsKeywords =
    "async await break case catch const continue debugger default delete do else export "
    "extends finally for from if import in instanceof let new of return static super switch "
    "this throw try typeof var void while with yield get set as";

constexpr CRules kJavaScript = {
    .keywords = kJsKeywords,
    .constants = "true false null undefined NaN Infinity",
    .def_words = "function",
    .type_words = "class",
    .line_comment = "//",
    .single = Quote::String,
    .backtick = true,
    .decorators = true,
    .upper_types = true,
    .regex = true,
    .dollar_idents = true,
};

constexpr CRules kTypeScript = {
    .keywords =
        "async await break case catch const continue debugger default delete do else "
        "export extends finally for from if import in instanceof let new of return "
        "static super switch this throw try typeof var void while with yield get set as "
        "implements private protected public readonly declare abstract keyof infer is "
        "namespace module satisfies override",
    .types = "number string boolean any unknown never object symbol bigint",
    .constants = "true false null undefined NaN Infinity",
    .def_words = "function",
    .type_words = "class interface type enum",
    .line_comment = "//",
    .single = Quote::String,
    .backtick = true,
    .decorators = true,
    .upper_types = true,
    .regex = true,
    .dollar_idents = true,
};

constexpr CRules kRust = {
    .keywords =
        "as async await break const continue crate dyn else extern for if impl in let "
        "loop match mod move mut pub ref return self static super unsafe use where while "
        "yield",
    .types =
        "i8 i16 i32 i64 i128 isize u8 u16 u32 u64 u128 usize f32 f64 bool char str Self "
        "String Vec Option Result Box",
    .constants = "true false Some None Ok Err",
    .def_words = "fn",
    .type_words = "struct enum trait type union",
    .line_comment = "//",
    .nested_comment = true,
    .rust_raw = true,
    .rust_attributes = true,
    .macro_bang = true,
    .upper_types = true,
};

constexpr CRules kGo = {
    .keywords =
        "break case chan const continue default defer else fallthrough for go goto if "
        "import interface map package range return select switch var struct",
    .types =
        "bool byte complex64 complex128 error float32 float64 int int8 int16 int32 int64 "
        "rune string uint uint8 uint16 uint32 uint64 uintptr any",
    .constants = "true false nil iota",
    .builtins = "append cap close copy delete len make new panic print println recover",
    .def_words = "func",
    .type_words = "type",
    .line_comment = "//",
    .backtick = true,
};

constexpr CRules kJava = {
    .keywords =
        "abstract assert break case catch class const continue default do else enum "
        "extends final finally for goto if implements import instanceof interface native "
        "new package private protected public return static strictfp super switch "
        "synchronized this throw throws transient try volatile while var record yield "
        "sealed permits",
    .types = "boolean byte char double float int long short void String Object Integer Long",
    .constants = "true false null",
    .line_comment = "//",
    .decorators = true,
    .upper_types = true,
};

constexpr CRules kSql = {
    .keywords =
        "select from where and or not in is null as join inner left right full outer cross on "
        "using group by order having limit offset insert into values update set delete create "
        "table index view drop alter add column primary key foreign references unique default "
        "check constraint distinct union all case when then else end exists between like ilike "
        "asc desc if begin commit rollback transaction with recursive returning explain analyze "
        "concurrently grant revoke cascade trigger function returns language replace over "
        "partition window interval true false database schema temporary temp",
    .types =
        "int integer bigint smallint tinyint serial bigserial decimal numeric real double "
        "precision float boolean bool char varchar text date time timestamp timestamptz "
        "json jsonb uuid blob bytea",
    .line_comment = "--",
    .single = Quote::String,
    .case_insensitive = true,
};

constexpr std::array<CLanguage, 9> kLanguages = {{
    {"python", &kPython},
    {"c", &kC},
    {"cpp", &kCpp},
    {"javascript", &kJavaScript},
    {"typescript", &kTypeScript},
    {"rust", &kRust},
    {"go", &kGo},
    {"java", &kJava},
    {"sql", &kSql},
}};

}  // namespace

std::span<const CLanguage> c_like_languages() {
  return kLanguages;
}

}  // namespace orvo::tui::lex
