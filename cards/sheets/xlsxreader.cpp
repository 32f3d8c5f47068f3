// .xlsx card lists: libgsf opens the zip, libxml2 reads its XML parts as a
// stream (package relationships, workbook, shared strings, the first sheet).
// Every part is unpacked in slices against one budget, checked first against
// the size the zip declares (libgsf reads no further than that), so a zip
// bomb ends with a message before it costs memory or much time.
#include <gsf/gsf-infile-zip.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-memory.h>
#include <gsf/gsf-input.h>
#include <gsf/gsf-utils.h>
#include <libxml/parser.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <exception>
#include <memory>

#include "sheetrows.h"

namespace {

struct TUnref {
    void operator()(void* object) const { g_object_unref(object); }
};
using TInput = std::unique_ptr<GsfInput, TUnref>;
using TInfile = std::unique_ptr<GsfInfile, TUnref>;

bool SameNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && g_ascii_strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool EndsWith(std::string_view s, std::string_view end) {
    return s.size() >= end.size() && s.substr(s.size() - end.size()) == end;
}

// A part of the package by its name ("xl/workbook.xml"); part names are
// compared without regard to case, as the package format asks.
TInput FindPart(GsfInfile* zip, std::string_view name) {
    g_object_ref(zip);
    TInfile folder(zip);
    while (!name.empty()) {
        const std::size_t slash = name.find('/');
        const std::string_view step = name.substr(0, slash);
        name = slash == std::string_view::npos ? std::string_view() : name.substr(slash + 1);
        if (step.empty()) continue;
        TInput child;
        for (int i = 0; i < gsf_infile_num_children(folder.get()) && !child; ++i) {
            const char* entry = gsf_infile_name_by_index(folder.get(), i);
            if (entry && SameNoCase(entry, step))
                child.reset(gsf_infile_child_by_index(folder.get(), i));
        }
        if (!child) return nullptr;
        if (name.empty()) return child;
        if (!GSF_IS_INFILE(child.get())) return nullptr;
        folder.reset(GSF_INFILE(child.release()));
    }
    return nullptr;
}

// The folder of a part name, with its slash ("xl/" for "xl/workbook.xml").
std::string FolderOf(const std::string& part) {
    const std::size_t slash = part.rfind('/');
    return slash == std::string::npos ? std::string() : part.substr(0, slash + 1);
}

// A relationship target as a part name: relative to the source's folder, or
// from the package root when it starts with a slash.
std::string Resolve(const std::string& folder, std::string_view target) {
    const std::string joined = !target.empty() && target.front() == '/'
                                   ? std::string(target)
                                   : folder + std::string(target);
    std::vector<std::string_view> steps;
    std::string_view rest = joined;
    while (!rest.empty()) {
        const std::size_t slash = rest.find('/');
        const std::string_view step = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (step.empty() || step == ".") continue;
        if (step == "..") {
            if (!steps.empty()) steps.pop_back();
            continue;
        }
        steps.push_back(step);
    }
    std::string out;
    for (const std::string_view s : steps) (out.empty() ? out : out += '/') += s;
    return out;
}

// ---------------------------------------------------------------- XML parts

// One part's reader: libxml2's SAX2 callbacks land here. A failure inside a
// callback stops the parser and is raised once control is back in C++.
class TXmlPart {
  public:
    virtual ~TXmlPart() = default;
    virtual void Start(std::string_view name, const xmlChar** attributes, int count) = 0;
    virtual void End(std::string_view name) = 0;
    virtual void Text(std::string_view) {}

    xmlParserCtxtPtr context = nullptr;
    std::exception_ptr failure;
};

// An attribute's value by its local name (any namespace).
std::string_view Attribute(const xmlChar** attributes, int count, std::string_view name) {
    // Five pointers per attribute: local name, prefix, URI, value, value end.
    for (int i = 0; i < count; ++i) {
        const xmlChar** a = attributes + 5 * i;
        if (name == reinterpret_cast<const char*>(a[0]))
            return std::string_view(reinterpret_cast<const char*>(a[3]),
                                    static_cast<std::size_t>(a[4] - a[3]));
    }
    return {};
}

std::string_view Name(const xmlChar* name) {
    return reinterpret_cast<const char*>(name);
}

template <typename F>
void Guard(void* part, F f) {
    auto* p = static_cast<TXmlPart*>(part);
    if (p->failure) return;
    try {
        f(*p);
    } catch (...) {
        p->failure = std::current_exception();
        xmlStopParser(p->context);
    }
}

void OnStart(void* part, const xmlChar* name, const xmlChar*, const xmlChar*, int, const xmlChar**,
             int count, int, const xmlChar** attributes) {
    Guard(part, [&](TXmlPart& p) { p.Start(Name(name), attributes, count); });
}

void OnEnd(void* part, const xmlChar* name, const xmlChar*, const xmlChar*) {
    Guard(part, [&](TXmlPart& p) { p.End(Name(name)); });
}

void OnText(void* part, const xmlChar* text, int length) {
    Guard(part, [&](TXmlPart& p) {
        p.Text(std::string_view(reinterpret_cast<const char*>(text),
                                static_cast<std::size_t>(length)));
    });
}

void OnXmlError(void*, xmlErrorPtr) {}  // a malformed part is reported as a whole

struct TParserFree {
    void operator()(xmlParserCtxtPtr c) const { xmlFreeParserCtxt(c); }
};

class TPackage {
  public:
    TPackage(std::string_view bytes, std::uint64_t budget) : FBudget(budget), FLimit(budget) {
        FInput.reset(gsf_input_memory_new(reinterpret_cast<const guint8*>(bytes.data()),
                                          static_cast<gsf_off_t>(bytes.size()), FALSE));
        GError* error = nullptr;
        FZip.reset(FInput ? gsf_infile_zip_new(FInput.get(), &error) : nullptr);
        if (error) g_error_free(error);
        if (!FZip) throw ESheetError(kDamagedWorkbook);
    }

    // Streams the part through the reader; false when there is no such part.
    bool Read(const std::string& name, TXmlPart& reader) {
        const TInput part = FindPart(FZip.get(), name);
        if (!part) return false;
        const gsf_off_t size = gsf_input_size(part.get());
        if (size < 0 || static_cast<std::uint64_t>(size) > FBudget) throw TooLarge();

        xmlSAXHandler sax{};
        sax.initialized = XML_SAX2_MAGIC;
        sax.startElementNs = OnStart;
        sax.endElementNs = OnEnd;
        sax.characters = OnText;
        sax.cdataBlock = OnText;
        sax.serror = OnXmlError;
        // No entity or DTD handlers: nothing is expanded or fetched.
        std::unique_ptr<xmlParserCtxt, TParserFree> context(
            xmlCreatePushParserCtxt(&sax, &reader, nullptr, 0, name.c_str()));
        if (!context) throw std::bad_alloc();
        xmlCtxtUseOptions(context.get(), XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
        reader.context = context.get();

        constexpr std::size_t kSlice = 1 << 16;
        std::vector<guint8> buf(kSlice);
        gsf_off_t left = size;
        bool ok = true;
        while (ok && left > 0 && !reader.failure) {
            const std::size_t n = static_cast<std::size_t>(std::min<gsf_off_t>(left, kSlice));
            if (!gsf_input_read(part.get(), n, buf.data())) throw ESheetError(kDamagedWorkbook);
            FBudget -= n;
            left -= static_cast<gsf_off_t>(n);
            ok = xmlParseChunk(context.get(), reinterpret_cast<const char*>(buf.data()),
                               static_cast<int>(n), 0) == 0;
        }
        if (ok && !reader.failure) ok = xmlParseChunk(context.get(), nullptr, 0, 1) == 0;
        if (reader.failure) std::rethrow_exception(reader.failure);
        if (!ok || !context->wellFormed) throw ESheetError(kDamagedWorkbook);
        return true;
    }

  private:
    ESheetError TooLarge() const {
        return ESheetError("The workbook unpacks to more than " + std::to_string(FLimit >> 20) +
                           " MB.");
    }

    TInput FInput;
    TInfile FZip;
    std::uint64_t FBudget;  // what is left to unpack
    std::uint64_t FLimit;
};

// ---------------------------------------------------------------- the parts

struct TRelationship {
    std::string id, type, target;
};

class TRelationships : public TXmlPart {
  public:
    void Start(std::string_view name, const xmlChar** a, int n) override {
        if (name != "Relationship" || Attribute(a, n, "TargetMode") == "External") return;
        list.push_back({std::string(Attribute(a, n, "Id")), std::string(Attribute(a, n, "Type")),
                        std::string(Attribute(a, n, "Target"))});
    }
    void End(std::string_view) override {}

    const TRelationship* ById(std::string_view id) const {
        for (const TRelationship& r : list)
            if (r.id == id) return &r;
        return nullptr;
    }
    // By the end of its type ("/officeDocument"): the same in both dialects.
    const TRelationship* ByType(std::string_view kind) const {
        for (const TRelationship& r : list)
            if (EndsWith(r.type, kind)) return &r;
        return nullptr;
    }

    std::vector<TRelationship> list;
};

// The relationship ids of the sheets, in the workbook's order.
class TWorkbook : public TXmlPart {
  public:
    void Start(std::string_view name, const xmlChar** a, int n) override {
        if (name == "sheet") sheets.emplace_back(Attribute(a, n, "id"));
    }
    void End(std::string_view) override {}
    std::vector<std::string> sheets;
};

// Rich text is kept as its plain text; phonetic guides (rPh) are left out.
class TSharedStrings : public TXmlPart {
  public:
    void Start(std::string_view name, const xmlChar**, int) override {
        if (name == "si") {
            FText.clear();
            FInItem = true;
        } else if (name == "rPh") {
            ++FPhonetic;
        } else if (name == "t") {
            FInText = FInItem && FPhonetic == 0;
        }
    }
    void End(std::string_view name) override {
        if (name == "si") {
            strings.push_back(std::move(FText));
            FText.clear();
            FInItem = false;
        } else if (name == "rPh") {
            --FPhonetic;
        } else if (name == "t") {
            FInText = false;
        }
    }
    void Text(std::string_view text) override {
        if (FInText) FText += text;
    }

    std::vector<std::string> strings;

  private:
    std::string FText;
    bool FInItem = false;
    bool FInText = false;
    int FPhonetic = 0;
};

int ParseInt(std::string_view s, int fallback) {
    int n = 0;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), n);
    return r.ec == std::errc() && r.ptr == s.data() + s.size() ? n : fallback;
}

// The column of a cell reference ("C12" gives 2); fallback when there is none.
int ColumnOf(std::string_view ref, int fallback) {
    int column = 0;
    std::size_t i = 0;
    for (; i < ref.size() && i < 3 && g_ascii_isalpha(ref[i]); ++i)
        column = column * 26 + (g_ascii_toupper(ref[i]) - 'A' + 1);
    if (i == 0 || (i < ref.size() && !g_ascii_isdigit(ref[i]))) return fallback;
    return column - 1;
}

class TWorksheet : public TXmlPart {
  public:
    TWorksheet(TCardRows& rows, const std::vector<std::string>& strings)
        : FRows(rows), FStrings(strings) {}

    void Start(std::string_view name, const xmlChar** a, int n) override {
        if (name == "row") {
            FRow = std::max(1, ParseInt(Attribute(a, n, "r"), FRow + 1));
            FCells.clear();
            FNextColumn = 0;
            FInRow = true;
        } else if (name == "c" && FInRow) {
            FColumn = ColumnOf(Attribute(a, n, "r"), FNextColumn);
            FNextColumn = FColumn + 1;
            FType = Attribute(a, n, "t");
            FKeep = FRows.Wanted(FColumn);
            FValue.clear();
            FInline.clear();
        } else if (name == "v") {
            FInValue = true;
        } else if (name == "is") {
            FInInline = true;
        } else if (name == "rPh") {
            ++FPhonetic;
        } else if (name == "t") {
            FInText = FInInline && FPhonetic == 0;
        }
    }

    void End(std::string_view name) override {
        if (name == "v") {
            FInValue = false;
        } else if (name == "t") {
            FInText = false;
        } else if (name == "is") {
            FInInline = false;
        } else if (name == "rPh") {
            --FPhonetic;
        } else if (name == "c" && FInRow) {
            if (FKeep) FCells.push_back(Cell());
        } else if (name == "row" && FInRow) {
            FInRow = false;
            FRows.Row(FRow, FCells);
        }
    }

    void Text(std::string_view text) override {
        if (!FKeep) return;
        if (FInValue) FValue += text;
        if (FInText) FInline += text;
    }

  private:
    TSheetCell Cell() {
        TSheetCell cell;
        cell.column = FColumn;
        auto text = [&](std::string value) {
            cell.kind = TSheetCell::Kind::Text;
            cell.text = std::move(value);
        };
        if (FType == "inlineStr") {
            text(std::move(FInline));
        } else if (FValue.empty()) {
            // no value: an empty cell
        } else if (FType == "s") {
            const int index = ParseInt(FValue, -1);
            if (index < 0 || static_cast<std::size_t>(index) >= FStrings.size())
                throw ESheetError(kDamagedWorkbook);
            text(FStrings[static_cast<std::size_t>(index)]);
        } else if (FType == "b") {
            cell.kind = TSheetCell::Kind::Boolean;
            cell.number = FValue == "1" ? 1 : 0;
        } else if (FType.empty() || FType == "n") {
            double number = 0;
            const auto r = std::from_chars(FValue.data(), FValue.data() + FValue.size(), number);
            if (r.ec == std::errc() && r.ptr == FValue.data() + FValue.size() &&
                std::isfinite(number)) {
                cell.kind = TSheetCell::Kind::Number;
                cell.number = number;
            } else {
                text(std::move(FValue));
            }
        } else {
            text(std::move(FValue));  // formula text, error values, dates as text
        }
        return cell;
    }

    TCardRows& FRows;
    const std::vector<std::string>& FStrings;
    std::vector<TSheetCell> FCells;
    int FRow = 0;
    int FColumn = 0;
    int FNextColumn = 0;
    std::string FType;
    std::string FValue, FInline;
    bool FInRow = false, FKeep = false, FInValue = false, FInInline = false, FInText = false;
    int FPhonetic = 0;
};

std::string RelationshipsOf(const std::string& part) {
    const std::size_t slash = part.rfind('/');
    const std::string file = slash == std::string::npos ? part : part.substr(slash + 1);
    return FolderOf(part) + "_rels/" + file + ".rels";
}

}  // namespace

void ReadXlsx(std::string_view bytes, TCardRows& rows, const TSheetLimits& limits) {
    xmlInitParser();
    TPackage package(bytes, limits.maxUnpackedBytes);

    TRelationships root;
    std::string workbookPart = "xl/workbook.xml";
    if (package.Read("_rels/.rels", root))
        if (const TRelationship* r = root.ByType("/officeDocument"))
            workbookPart = Resolve("", r->target);
    TWorkbook workbook;
    if (!package.Read(workbookPart, workbook)) throw ESheetError(kNotASheet);

    TRelationships links;
    package.Read(RelationshipsOf(workbookPart), links);
    const std::string folder = FolderOf(workbookPart);
    std::string sheetPart;
    for (const std::string& id : workbook.sheets) {
        const TRelationship* r = links.ById(id);
        if (r && EndsWith(r->type, "/worksheet")) {
            sheetPart = Resolve(folder, r->target);
            break;
        }
    }
    if (sheetPart.empty()) throw ESheetError("The workbook has no worksheet.");

    TSharedStrings strings;
    if (const TRelationship* r = links.ByType("/sharedStrings"))
        package.Read(Resolve(folder, r->target), strings);
    TWorksheet sheet(rows, strings.strings);
    if (!package.Read(sheetPart, sheet)) throw ESheetError(kDamagedWorkbook);
}
