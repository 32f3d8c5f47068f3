#include "server_schema.h"

#include <vector>

#include "server_history.h"
#include "server_session.h"

namespace {

// Changed card numbers of one statement, from its transition tables; a
// statement that changed more cards than fit into a notification says "*".
const char* const kNotifyFunction = R"sql(
CREATE FUNCTION cardlist_notify() RETURNS trigger LANGUAGE plpgsql AS $body$
DECLARE
    changed text;
BEGIN
    IF TG_OP = 'INSERT' THEN
        SELECT CASE WHEN count(*) > $limit$ THEN '*' ELSE string_agg(cardno::text, ',') END
          INTO changed FROM new_rows;
    ELSIF TG_OP = 'DELETE' THEN
        SELECT CASE WHEN count(*) > $limit$ THEN '*' ELSE string_agg(cardno::text, ',') END
          INTO changed FROM old_rows;
    ELSIF TG_OP = 'UPDATE' THEN
        SELECT CASE WHEN count(*) > $limit$ THEN '*' ELSE string_agg(cardno::text, ',') END
          INTO changed FROM (SELECT cardno FROM new_rows UNION SELECT cardno FROM old_rows) k;
    ELSE
        changed := '*';
    END IF;
    IF changed IS NOT NULL THEN
        PERFORM pg_notify('$channel$', changed);
    END IF;
    RETURN NULL;
END
$body$)sql";

std::string Replace(std::string text, const std::string& what, const std::string& with) {
    size_t at = 0;
    while ((at = text.find(what, at)) != std::string::npos) {
        text.replace(at, what.size(), with);
        at += with.size();
    }
    return text;
}

// Every object of the card list, in the order they are created.
std::vector<std::string> CardListStatements() {
    std::string notify = Replace(kNotifyFunction, "$limit$", std::to_string(kCardListNotifyLimit));
    notify = Replace(notify, "$channel$", kCardListChannel);
    return {
        "CREATE TABLE cardlist (cardno integer NOT NULL PRIMARY KEY, descx varchar(50), "
        "grp varchar(50), granted boolean NOT NULL DEFAULT false)",
        notify,
        "CREATE TRIGGER cardlist_notify_insert AFTER INSERT ON cardlist "
        "REFERENCING NEW TABLE AS new_rows FOR EACH STATEMENT EXECUTE FUNCTION cardlist_notify()",
        "CREATE TRIGGER cardlist_notify_update AFTER UPDATE ON cardlist "
        "REFERENCING OLD TABLE AS old_rows NEW TABLE AS new_rows "
        "FOR EACH STATEMENT EXECUTE FUNCTION cardlist_notify()",
        "CREATE TRIGGER cardlist_notify_delete AFTER DELETE ON cardlist "
        "REFERENCING OLD TABLE AS old_rows FOR EACH STATEMENT EXECUTE FUNCTION cardlist_notify()",
        "CREATE TRIGGER cardlist_notify_truncate AFTER TRUNCATE ON cardlist "
        "FOR EACH STATEMENT EXECUTE FUNCTION cardlist_notify()",
    };
}

}  // namespace

void CreateServerCardList(const std::string& connectionString) {
    TPgSession session(connectionString);
    CreateCardListObjects(session);
}

void CreateCardListObjects(TPgSession& session) {
    session.Exec("BEGIN");
    try {
        // Taken before the check, so that two creators cannot both pass it.
        session.Exec("SELECT pg_advisory_xact_lock(hashtext('lorvane cardlist'))");
        if (!session.Exec("SELECT to_regclass('cardlist')").IsNull(0, 0))
            throw EDatabaseError(
                "The database already holds a card list (table cardlist); it was left as it "
                "is.");
        for (const std::string& statement : CardListStatements()) session.Exec(statement);
        for (const std::string& statement : HistoryStatements()) session.Exec(statement);
        session.Exec("COMMIT");
    } catch (...) {
        try {
            session.Exec("ROLLBACK");
        } catch (const EDatabaseError&) {
        }
        throw;
    }
}
