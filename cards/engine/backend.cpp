// Choosing a connection's back end, and what the back ends share.
#include "backend.h"

#include "file_backend.h"
#include "jet_backend.h"
#include "jetheader.h"
#include "server_backend.h"
#include "values.h"

std::unique_ptr<TBackEnd> MakeBackEnd(const std::string& connectionString) {
    if (IsServerConnection(connectionString)) return OpenServer(connectionString);
    const TConnectionParams params = ParseConnectionString(connectionString);
    if (IsJetFile(params.dataSource)) return OpenJetFile(params.dataSource, params.password);
    return OpenCardFile(params.dataSource, params.password);
}

std::vector<TSortKey> MatchSortPlan(const std::vector<TSortColumn>& sortColumns,
                                    const std::vector<std::string>& names,
                                    const std::vector<std::string>& origins) {
    std::vector<TSortKey> plan;
    for (const TSortColumn& c : sortColumns) {
        int found = -1;
        for (size_t k = 0; k < names.size() && found < 0; ++k)
            if (EqualsNoCase(names[k], c.name) ||
                (k < origins.size() && EqualsNoCase(origins[k], c.name)))
                found = static_cast<int>(k);
        if (found < 0) return {};
        plan.push_back({found, c.descending});
    }
    return plan;
}
