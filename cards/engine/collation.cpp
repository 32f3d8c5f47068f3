// Text order and search matching through ICU.
#include "collation.h"

#include <unicode/uchar.h>
#include <unicode/ucol.h>
#include <unicode/uloc.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <cstdint>

#include "dbengine.h"

namespace {

[[noreturn]] void Fail(const char* what, UErrorCode err) {
    throw EDatabaseError(std::string(what) + " (ICU: " + u_errorName(err) + ")");
}

const uint8_t* Bytes(std::string_view s) {
    return reinterpret_cast<const uint8_t*>(s.data());
}

// UTF-8 to UTF-16; malformed bytes become U+FFFD.
void ToUtf16(std::string_view text, std::u16string& out) {
    out.resize(text.size() + 1);  // never more units than bytes
    int32_t length = 0;
    UErrorCode err = U_ZERO_ERROR;
    u_strFromUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &length, text.data(),
                         static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &err);
    if (U_FAILURE(err)) Fail("Cannot convert text", err);
    out.resize(static_cast<size_t>(length));
}

const UNormalizer2* Nfd() {
    UErrorCode err = U_ZERO_ERROR;
    const UNormalizer2* n = unorm2_getNFDInstance(&err);
    if (U_FAILURE(err)) Fail("Cannot load the Unicode normalisation data", err);
    return n;
}

// Appends the units of one character as searches see it: decomposed, marks
// dropped, case folded.
void AppendSearchUnits(const UNormalizer2* nfd, UChar32 c, std::u16string& out) {
    if (c < 0x80) {  // most card names: no decomposition, simple folding is full folding
        out += static_cast<char16_t>(u_foldCase(c, U_FOLD_CASE_DEFAULT));
        return;
    }
    UChar decomposed[32];
    UErrorCode err = U_ZERO_ERROR;
    int32_t n = unorm2_getDecomposition(nfd, c, decomposed, 32, &err);
    if (U_FAILURE(err) || n < 0) {
        n = 0;
        U16_APPEND_UNSAFE(decomposed, n, c);
    }
    for (int32_t i = 0; i < n;) {
        UChar32 d;
        U16_NEXT(decomposed, i, n, d);
        if (u_charType(d) == U_NON_SPACING_MARK) continue;
        UChar one[2], folded[8];
        int32_t k = 0;
        U16_APPEND_UNSAFE(one, k, d);
        err = U_ZERO_ERROR;
        const int32_t f = u_strFoldCase(folded, 8, one, k, U_FOLD_CASE_DEFAULT, &err);
        if (U_FAILURE(err)) {
            out.append(reinterpret_cast<const char16_t*>(one), static_cast<size_t>(k));
            continue;
        }
        // Folding may bring a mark of its own (the dot of a dotted capital I).
        for (int32_t j = 0; j < f;) {
            UChar32 g;
            U16_NEXT(folded, j, f, g);
            if (u_charType(g) == U_NON_SPACING_MARK) continue;
            if (U_IS_BMP(g)) {
                out += static_cast<char16_t>(g);
            } else {
                out += static_cast<char16_t>(U16_LEAD(g));
                out += static_cast<char16_t>(U16_TRAIL(g));
            }
        }
    }
}

// Reads one code point; malformed bytes read as U+FFFD.
UChar32 NextCodePoint(std::string_view text, int32_t& i) {
    UChar32 c;
    U8_NEXT(Bytes(text), i, static_cast<int32_t>(text.size()), c);
    return c < 0 ? 0xFFFD : c;
}

}  // namespace

TCollator::TCollator() {
    UErrorCode err = U_ZERO_ERROR;
    const std::string_view locale = uloc_getDefault();
    // The POSIX "C" locale comes through as en_US_POSIX, whose collation is
    // plain code point order (capitals first); a program started without a
    // language wants the common order instead.
    FCollator = ucol_open(locale.starts_with("en_US_POSIX") ? "" : locale.data(), &err);
    if (U_FAILURE(err)) {
        err = U_ZERO_ERROR;
        FCollator = ucol_open("", &err);
    }
    if (U_FAILURE(err)) Fail("Cannot open the text collation", err);
    // Secondary strength: accents count after the letters, case not at all.
    ucol_setStrength(FCollator, UCOL_SECONDARY);
    ucol_setAttribute(FCollator, UCOL_NUMERIC_COLLATION, UCOL_ON, &err);
    // Composed and decomposed forms of the same letter sort alike.
    ucol_setAttribute(FCollator, UCOL_NORMALIZATION_MODE, UCOL_ON, &err);
    if (U_FAILURE(err)) {
        ucol_close(FCollator);
        Fail("Cannot set up the text collation", err);
    }
}

TCollator::~TCollator() {
    ucol_close(FCollator);
}

int TCollator::Compare(std::string_view a, std::string_view b) const {
    UErrorCode err = U_ZERO_ERROR;
    const UCollationResult r = ucol_strcollUTF8(FCollator, a.data(), static_cast<int32_t>(a.size()),
                                                b.data(), static_cast<int32_t>(b.size()), &err);
    if (U_FAILURE(err)) return a.compare(b);
    return r == UCOL_LESS ? -1 : (r == UCOL_EQUAL ? 0 : 1);
}

void TCollator::AppendSortKey(std::string_view text, std::string& out) {
    ToUtf16(text, FText);
    if (FKey.size() < 64) FKey.resize(64);
    const auto* src = reinterpret_cast<const UChar*>(FText.data());
    const auto length = static_cast<int32_t>(FText.size());
    int32_t need = ucol_getSortKey(FCollator, src, length, reinterpret_cast<uint8_t*>(FKey.data()),
                                   static_cast<int32_t>(FKey.size()));
    if (need > static_cast<int32_t>(FKey.size())) {
        FKey.resize(static_cast<size_t>(need));
        need = ucol_getSortKey(FCollator, src, length, reinterpret_cast<uint8_t*>(FKey.data()),
                               static_cast<int32_t>(FKey.size()));
    }
    if (need > 0) out.append(FKey.data(), static_cast<size_t>(need - 1));  // without the zero
}

std::u16string SearchForm(std::string_view text) {
    const UNormalizer2* nfd = Nfd();
    std::u16string out;
    for (int32_t i = 0; i < static_cast<int32_t>(text.size());)
        AppendSearchUnits(nfd, NextCodePoint(text, i), out);
    return out;
}

bool MatchesSearchForm(std::string_view text, std::u16string_view form, bool whole) {
    const UNormalizer2* nfd = Nfd();
    std::u16string units;
    size_t pos = 0;
    for (int32_t i = 0; i < static_cast<int32_t>(text.size());) {
        if (pos == form.size() && !whole) return true;
        units.clear();
        AppendSearchUnits(nfd, NextCodePoint(text, i), units);
        for (char16_t u : units)
            if (pos >= form.size() || form[pos++] != u) return false;
    }
    return pos == form.size();
}

std::string ToNfc(std::string_view text) {
    UErrorCode err = U_ZERO_ERROR;
    const UNormalizer2* nfc = unorm2_getNFCInstance(&err);
    if (U_FAILURE(err)) Fail("Cannot load the Unicode normalisation data", err);
    std::u16string utf16;
    ToUtf16(text, utf16);
    const auto* src = reinterpret_cast<const UChar*>(utf16.data());
    const auto length = static_cast<int32_t>(utf16.size());
    if (unorm2_isNormalized(nfc, src, length, &err) && U_SUCCESS(err)) return std::string(text);
    err = U_ZERO_ERROR;
    std::u16string composed(utf16.size() * 3 + 1, u'\0');
    const int32_t n = unorm2_normalize(nfc, src, length, reinterpret_cast<UChar*>(composed.data()),
                                       static_cast<int32_t>(composed.size()), &err);
    if (U_FAILURE(err)) Fail("Cannot normalise text", err);
    std::string out(static_cast<size_t>(n) * 3 + 1, '\0');
    int32_t bytes = 0;
    err = U_ZERO_ERROR;
    u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &bytes,
                reinterpret_cast<const UChar*>(composed.data()), n, &err);
    if (U_FAILURE(err)) Fail("Cannot convert text", err);
    out.resize(static_cast<size_t>(bytes));
    return out;
}

size_t Utf8PrefixBytes(std::string_view text, int n) {
    int32_t i = 0;
    const auto length = static_cast<int32_t>(text.size());
    for (int k = 0; k < n && i < length; ++k) U8_FWD_1(Bytes(text), i, length);
    return static_cast<size_t>(i);
}

int SqliteCollate(void* collator, int n1, const void* p1, int n2, const void* p2) {
    return static_cast<TCollator*>(collator)->Compare(
        std::string_view(static_cast<const char*>(p1), static_cast<size_t>(n1)),
        std::string_view(static_cast<const char*>(p2), static_cast<size_t>(n2)));
}
