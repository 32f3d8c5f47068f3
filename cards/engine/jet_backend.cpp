// The Jet back end over the helper process.
#include "jet_backend.h"

#include <utility>

#include "jetsource.h"
#include "snapshot.h"

namespace {

class TJetBackEnd final : public TBackEnd {
  public:
    TJetBackEnd(std::string path, std::string password)
        : FPath(std::move(path)), FPassword(std::move(password)) {}

    void Read(const TJetStatement& statement, TSnapshot& into) override {
        std::string text;
        for (const TSqlToken& t : statement.tokens) text += t.text;
        TJetSnapshot snap = ReadJetStatement(FPath, FPassword, text);
        into.defs = std::move(snap.defs);
        into.origins.assign(into.defs.size(), std::string());
        size_t cell = 0;
        for (int r = 0; r < snap.rows; ++r) {
            for (size_t c = 0; c < into.defs.size(); ++c)
                into.AddCell(std::move(snap.cells[cell++]));
            into.EndRow(0);
        }
    }
    bool Update(TRowWrite&, std::vector<TValue>&) override { throw ReadOnly(); }
    bool Append(TRowWrite&, std::vector<TValue>&) override { throw ReadOnly(); }
    bool Delete(const TRowWrite&) override { throw ReadOnly(); }
    int ReplaceRows(const std::string&, TSnapshot&) override { throw ReadOnly(); }
    std::string ReadOnlyReason() const override {
        return "the program only reads Jet database files";
    }

  private:
    EDatabaseError ReadOnly() const {
        return EDatabaseError("'" + FPath +
                              "' is a Jet database file, which the program only reads.");
    }
    std::string FPath, FPassword;
};

}  // namespace

std::unique_ptr<TBackEnd> OpenJetFile(const std::string& path, const std::string& password) {
    CheckJetFile(path, password);
    return std::make_unique<TJetBackEnd>(path, password);
}
