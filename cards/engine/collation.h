// How card names and groups are ordered and matched: ICU's collation for the
// system locale, and a case- and accent-blind form of text for searching. No Qt.
//
// The collation is only ever applied to query results (the sorted snapshot,
// the locate, and a query's "order by" when the engine cannot sort itself); it
// is never named in a table or an index definition. A newer ICU that orders
// some letters differently therefore changes only the order a list is shown
// in, never a structure stored in a file.
#pragma once

#include <string>
#include <string_view>

struct UCollator;

// Order of text: locale-aware, case-insensitive, accented letters right after
// their base letter, digits compared by value ("Holder 2" before "Holder 10").
// Texts are UTF-8; malformed bytes count as U+FFFD. One object per thread.
class TCollator {
  public:
    TCollator();
    ~TCollator();
    TCollator(const TCollator&) = delete;
    TCollator& operator=(const TCollator&) = delete;

    // <0, 0, >0 like strcmp.
    int Compare(std::string_view a, std::string_view b) const;
    // Appends the sort key of text: keys compare bytewise as Compare does,
    // and hold no zero byte except their terminating one, which is left out.
    void AppendSortKey(std::string_view text, std::string& out);

    UCollator* Handle() const { return FCollator; }

  private:
    UCollator* FCollator = nullptr;
    std::u16string FText;
    std::string FKey;
};

// The form of a text in which searches compare: canonically decomposed,
// without combining marks, case-folded (UTF-16). "Émile", "EMILE" and
// "e\u0301mile" all read "emile", so the normal form of the input does not matter.
std::u16string SearchForm(std::string_view text);

// True when text, in its search form, begins with (or, whole, equals) the
// already converted form. Stops at the first difference, so a long list is
// scanned at the cost of a few characters per row.
bool MatchesSearchForm(std::string_view text, std::u16string_view form, bool whole);

// Text in Unicode normal form C (composed), for comparisons that keep case.
std::string ToNfc(std::string_view text);

// Byte length of the first n characters (code points) of UTF-8 text; never
// ends inside a character.
size_t Utf8PrefixBytes(std::string_view text, int n);

// SQLite collation callback over a TCollator passed as its argument.
int SqliteCollate(void* collator, int n1, const void* p1, int n2, const void* p2);
