// Connections: the connection string, and the back end a connection holds
// while it is connected.
#include <string_view>
#include <utility>

#include "backend.h"
#include "dbengine.h"
#include "file_backend.h"
#include "values.h"

TConnectionParams ParseConnectionString(const std::string& text) {
    TConnectionParams params;
    bool haveSource = false;
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
        const size_t eq = text.find('=', i);
        if (eq == std::string::npos) break;
        const std::string_view key = Trim(std::string_view(text).substr(i, eq - i));
        size_t v = eq + 1;
        while (v < n && text[v] == ' ') ++v;
        std::string value;
        if (v < n && (text[v] == '"' || text[v] == '\'')) {
            // The value is not escaped: it ends at the quote that is followed by
            // ';' or the end of the text, so quotes, ';' and '=' may occur inside.
            const char q = text[v];
            size_t close = v + 1;
            for (;; ++close) {
                close = text.find(q, close);
                if (close == std::string::npos) break;
                size_t after = close + 1;
                while (after < n && text[after] == ' ') ++after;
                if (after >= n || text[after] == ';') break;
            }
            if (close == std::string::npos) {
                value = text.substr(v + 1);
                i = n;
            } else {
                value = text.substr(v + 1, close - v - 1);
                const size_t semi = text.find(';', close + 1);
                i = semi == std::string::npos ? n : semi + 1;
            }
        } else {
            const size_t semi = text.find(';', v);
            const size_t end = semi == std::string::npos ? n : semi;
            value = std::string(Trim(std::string_view(text).substr(v, end - v)));
            i = semi == std::string::npos ? n : semi + 1;
        }
        if (EqualsNoCase(key, "Data Source")) {
            params.dataSource = value;
            haveSource = true;
        } else if (EqualsNoCase(key, "Jet OLEDB:Database Password")) {
            params.password = value;
        }
    }
    if (!haveSource) throw EDatabaseError("The connection string names no \"Data Source\".");
    return params;
}

void CreateCardDatabase(const std::string& path, const std::string& password) {
    CreateDatabaseFile(path, password, kCardListDdl);
}

void CreateCardBatchDatabase(const std::string& path, const std::string& password) {
    CreateDatabaseFile(path, password, "CREATE TABLE card (cardno INTEGER NOT NULL PRIMARY KEY)");
}

TDbConnection::TDbConnection() = default;

TDbConnection::~TDbConnection() {
    Disconnect();
    for (TDbQuery* q : FQueries) q->ConnectionGone();
}

void TDbConnection::SetConnectionString(const std::string& text) {
    FConnectionString = text;
}
const std::string& TDbConnection::ConnectionString() const {
    return FConnectionString;
}
void TDbConnection::SetLoginPrompt(bool) {}

void TDbConnection::Connect() {
    if (FBackEnd) return;
    FBackEnd = MakeBackEnd(FConnectionString);
    FBackEnd->SetCommand(FActivity.command);
}

void TDbConnection::Disconnect() {
    const std::vector<TDbQuery*> queries = FQueries;  // Close may not detach, but be safe
    for (TDbQuery* q : queries) q->Close();
    FBackEnd.reset();
}

bool TDbConnection::Reconnect() {
    if (!FBackEnd) return false;
    const std::vector<TDbQuery*> queries = FQueries;
    for (TDbQuery* q : queries) q->Close();
    if (FBackEnd->Renew()) return true;
    FBackEnd.reset();
    return false;
}

bool TDbConnection::Connected() const {
    return FBackEnd != nullptr;
}

std::string TDbConnection::ReadOnlyReason() const {
    return FBackEnd ? FBackEnd->ReadOnlyReason() : std::string();
}

int TDbConnection::NoticeDescriptor() const {
    return FBackEnd ? FBackEnd->NoticeDescriptor() : -1;
}

void TDbConnection::ReadNotices() {
    if (!FBackEnd) return;
    FBackEnd->ReadNotices([this](const std::string& table, const std::vector<std::int64_t>& keys) {
        if (OnChangedElsewhere) OnChangedElsewhere(table, keys);
    });
}

void TDbConnection::Attach(TDbQuery* query) {
    FQueries.push_back(query);
}
void TDbConnection::Detach(TDbQuery* query) {
    std::erase(FQueries, query);
}
