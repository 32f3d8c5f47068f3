#include "server_history.h"

namespace {

// A card's values as the history shows them: "name='Anna'; group=NULL;
// granted=1", as on the card file; an update shows the values that changed.
// The trigger runs once per card changed, mostly one card per transaction:
// an update's texts are built a column at a time, so that only the
// expressions of the columns that changed are prepared, and an update that
// changes nothing (which the trigger has no WHEN clause to skip, being
// cheaper to tell here) writes no entry.
const char* const kHistoryFunction = R"sql(
CREATE FUNCTION cardlist_history() RETURNS trigger LANGUAGE plpgsql SECURITY DEFINER AS $body$
DECLARE
    cmd text := coalesce(current_setting('lorvane.command', true), '');
    old_values text;
    new_values text;
BEGIN
    IF TG_OP = 'UPDATE' THEN
        IF OLD.descx IS DISTINCT FROM NEW.descx THEN
            old_values := 'name=' || quote_nullable(OLD.descx);
            new_values := 'name=' || quote_nullable(NEW.descx);
        END IF;
        IF OLD.grp IS DISTINCT FROM NEW.grp THEN
            old_values := concat_ws('; ', old_values, 'group=' || quote_nullable(OLD.grp));
            new_values := concat_ws('; ', new_values, 'group=' || quote_nullable(NEW.grp));
        END IF;
        IF OLD.granted IS DISTINCT FROM NEW.granted THEN
            old_values := concat_ws('; ', old_values, CASE WHEN OLD.granted THEN 'granted=1' ELSE 'granted=0' END);
            new_values := concat_ws('; ', new_values, CASE WHEN NEW.granted THEN 'granted=1' ELSE 'granted=0' END);
        END IF;
        IF old_values IS NULL THEN
            IF OLD IS NOT DISTINCT FROM NEW THEN
                RETURN NULL;
            END IF;
        END IF;
        INSERT INTO history (command, cardno, before, after)
            VALUES (cmd, NEW.cardno, coalesce(old_values, ''), coalesce(new_values, ''));
    ELSIF TG_OP = 'INSERT' THEN
        INSERT INTO history (command, cardno, after) VALUES (cmd, NEW.cardno,
            concat_ws('; ', 'name=' || quote_nullable(NEW.descx), 'group=' || quote_nullable(NEW.grp),
                      'granted=' || CASE WHEN NEW.granted THEN '1' ELSE '0' END));
    ELSIF TG_OP = 'DELETE' THEN
        INSERT INTO history (command, cardno, before) VALUES (cmd, OLD.cardno,
            concat_ws('; ', 'name=' || quote_nullable(OLD.descx), 'group=' || quote_nullable(OLD.grp),
                      'granted=' || CASE WHEN OLD.granted THEN '1' ELSE '0' END));
    ELSE
        INSERT INTO history (command, detail) VALUES (cmd, 'every card removed (TRUNCATE)');
    END IF;
    RETURN NULL;
END
$body$)sql";

const char* const kExpireFunction = R"sql(
CREATE FUNCTION lorvane_expire_history() RETURNS bigint LANGUAGE plpgsql SECURITY DEFINER AS $body$
DECLARE
    keep integer;
    removed bigint;
BEGIN
    SELECT max(r.days) INTO keep FROM history_retention r;
    IF keep IS NULL OR keep <= 0 THEN
        RETURN 0;
    END IF;
    DELETE FROM history WHERE at < now() - make_interval(days => keep);
    GET DIAGNOSTICS removed = ROW_COUNT;
    IF removed > 0 THEN
        INSERT INTO history (command, detail)
            VALUES ('Retention', removed || ' entries older than ' || keep || ' days removed');
    END IF;
    RETURN removed;
END
$body$)sql";

}  // namespace

std::vector<std::string> HistoryStatements() {
    return {
        "CREATE TABLE history (id bigserial PRIMARY KEY, at timestamptz NOT NULL DEFAULT now(), "
        "who text NOT NULL DEFAULT session_user, command text NOT NULL DEFAULT '', "
        "cardno integer, before text, after text, detail text)",
        "CREATE INDEX history_card ON history (cardno, id)",
        "CREATE TABLE history_retention (days integer NOT NULL CHECK (days >= 0))",
        "INSERT INTO history_retention VALUES (0)",
        kHistoryFunction,
        "CREATE TRIGGER cardlist_history_insert AFTER INSERT ON cardlist "
        "FOR EACH ROW EXECUTE FUNCTION cardlist_history()",
        "CREATE TRIGGER cardlist_history_update AFTER UPDATE ON cardlist FOR EACH ROW "
        "EXECUTE FUNCTION cardlist_history()",
        "CREATE TRIGGER cardlist_history_delete AFTER DELETE ON cardlist "
        "FOR EACH ROW EXECUTE FUNCTION cardlist_history()",
        "CREATE TRIGGER cardlist_history_truncate AFTER TRUNCATE ON cardlist "
        "FOR EACH STATEMENT EXECUTE FUNCTION cardlist_history()",
        "CREATE FUNCTION lorvane_add_history(command text, detail text) RETURNS void "
        "LANGUAGE sql SECURITY DEFINER AS "
        "$$ INSERT INTO history (command, detail) VALUES (coalesce($1, ''), $2) $$",
        kExpireFunction,
        // Functions that run as the owner resolve names in the card list's
        // schema only, never in one a caller could put first.
        "DO $$ BEGIN "
        "EXECUTE format('ALTER FUNCTION cardlist_history() SET search_path = %I, pg_temp', "
        "current_schema()); "
        "EXECUTE format('ALTER FUNCTION lorvane_add_history(text, text) SET search_path = %I, "
        "pg_temp', current_schema()); "
        "EXECUTE format('ALTER FUNCTION lorvane_expire_history() SET search_path = %I, pg_temp', "
        "current_schema()); END $$",
        "REVOKE ALL ON history, history_retention FROM PUBLIC",
        "REVOKE ALL ON FUNCTION cardlist_history() FROM PUBLIC",
    };
}
