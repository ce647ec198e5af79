-- The collector's database: what `zintar-fleet ingest` stores from rsyslog's spool for the fleet's
-- zintar-forwards, and what `zintar-fleet` reads.
--
-- Load it into a database of its own, as a superuser (the owner of what it makes):
--   createdb zintar
--   psql -v ON_ERROR_STOP=1 -d zintar -f schema.sql
--   psql -d zintar -c "ALTER ROLE zintar_writer PASSWORD '...'"   (the loader's, /etc/zintar-collector/pgpass)
--   psql -d zintar -c "ALTER ROLE zintar_reader PASSWORD '...'"   (zintar-fleet's, ~/.pgpass of its users)
-- Loading it again changes nothing. Loaded on a collector of the earlier layout (one unpartitioned
-- zintar_message that rsyslog's ompgsql wrote into), it migrates that in place, in one transaction:
-- every row is kept, none is stored twice, and the ids follow the order the rows were received.
-- rsyslog must be stopped for it (the earlier statements no longer fit the table): while it is still
-- connected, the load stops at once and changes nothing. rsyslog's disk queue keeps what arrives
-- meanwhile; start it again with the new rsyslog-collector.conf.
--
-- A forwarder resends what the collector has not confirmed, so copies arrive; each table's key is
-- the identity of what it records and the loader inserts with ON CONFLICT DO NOTHING, so a copy adds
-- no row. Sequences, generations and counts are unsigned 64-bit numbers on the wire; bigint holds
-- them up to 2^63 - 1, and the loader sets any larger one aside (zintar_rejected).

BEGIN;

SET LOCAL client_min_messages = warning;
CREATE EXTENSION IF NOT EXISTS pg_trgm;

-- --- Roles ---------------------------------------------------------------------------------------
-- zintar_writer: the loader (run by rsyslog) and the retention job; zintar_reader: zintar-fleet's
-- reading verbs and its page, which can change nothing.
DO $$
BEGIN
    IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'zintar_writer') THEN
        CREATE ROLE zintar_writer LOGIN;
    END IF;
    IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'zintar_reader') THEN
        CREATE ROLE zintar_reader LOGIN;
    END IF;
END
$$;

-- --- The earlier layout, set aside for the migration below --------------------------------------
DO $$
BEGIN
    IF EXISTS (SELECT FROM pg_class WHERE oid = to_regclass('public.zintar_message') AND relkind = 'r') THEN
        IF EXISTS (SELECT FROM pg_stat_activity
                   WHERE application_name = 'zintar-collector' AND pid <> pg_backend_pid()) THEN
            RAISE EXCEPTION 'rsyslog still writes into the earlier layout of zintar_message'
                USING HINT = 'Stop rsyslog, load schema.sql again, install the new rsyslog-collector.conf '
                             'and start rsyslog: its disk queue keeps what arrives meanwhile. Nothing was changed.';
        END IF;
        LOCK TABLE zintar_message, zintar_gap IN ACCESS EXCLUSIVE MODE;
        ALTER TABLE zintar_message RENAME TO zintar_message_unpartitioned;
        ALTER TABLE zintar_message_unpartitioned RENAME CONSTRAINT zintar_message_pkey
            TO zintar_message_unpartitioned_pkey;
        DROP INDEX IF EXISTS zintar_message_time;
    END IF;
END
$$;

-- --- Messages -------------------------------------------------------------------------------------
-- Partitioned by the message's own time, a partition a UTC day (zintar_message_YYYYMMDD), so that
-- retention drops whole days. A time outside the days that get partitions (a machine whose clock is
-- years off) lands in zintar_message_default and is counted there, never refused.
CREATE TABLE IF NOT EXISTS zintar_message (
    id         bigint      GENERATED ALWAYS AS IDENTITY,
    host       text        NOT NULL,
    sequence   bigint      NOT NULL CHECK (sequence >= 0),
    digest     text        NOT NULL CHECK (digest ~ '^[0-9a-f]{16}$'),
    generation bigint      NOT NULL CHECK (generation >= 0),
    type       smallint    NOT NULL CHECK (type BETWEEN 0 AND 3),
    time       timestamptz NOT NULL,
    aux        text        NOT NULL,
    text       text        NOT NULL,
    received   timestamptz NOT NULL DEFAULT now(),
    -- A copy of a message carries the same time stamp, so the partition key joins the identity
    -- without letting copies apart.
    PRIMARY KEY (host, sequence, digest, time)
) PARTITION BY RANGE (time);
COMMENT ON TABLE zintar_message IS
    'One row per log message of a Tervan Log Server, however often it arrived: host, sequence and '
    'digest identify a message for good. time is the message''s own time stamp, received when the '
    'collector stored it. id grows in the order rows were committed: every row with a larger id was '
    'stored after the row with a smaller one (a cursor for readers that follow).';
CREATE TABLE IF NOT EXISTS zintar_message_default PARTITION OF zintar_message DEFAULT;

-- One host's messages by time (its page, its last hour), and the pager's key within a host.
CREATE INDEX IF NOT EXISTS zintar_message_host_time ON zintar_message (host, time, sequence);
-- The whole fleet by time, newest first, and the pager's key (time, host, sequence): an ordered
-- index, since a page is the first rows in that order, which a BRIN index cannot give.
CREATE INDEX IF NOT EXISTS zintar_message_time ON zintar_message (time, host, sequence);
-- "Every row stored after this one".
CREATE INDEX IF NOT EXISTS zintar_message_id ON zintar_message (id);
-- Substring search of the text, case-insensitive (ILIKE '%...%').
CREATE INDEX IF NOT EXISTS zintar_message_text ON zintar_message USING gin (text gin_trgm_ops);

-- --- Gaps -----------------------------------------------------------------------------------------
-- Gaps get a table of their own: they have no sequence or digest, so they cannot share the
-- messages' key, and counting messages needs no filter.
CREATE TABLE IF NOT EXISTS zintar_gap (
    host       text        NOT NULL,
    generation bigint      NOT NULL CHECK (generation >= 0),
    time       timestamptz NOT NULL,
    lost       bigint      NOT NULL,
    text       text        NOT NULL,
    received   timestamptz NOT NULL DEFAULT now(),
    PRIMARY KEY (host, generation, time, lost)
);
ALTER TABLE zintar_gap ADD COLUMN IF NOT EXISTS id bigint GENERATED ALWAYS AS IDENTITY;
-- A burst that rewrote a machine's log whole leaves nothing to count its losses by: such a gap
-- has exact false and lost a lower bound, possibly 0. Tables made before have lost > 0 alone.
ALTER TABLE zintar_gap ADD COLUMN IF NOT EXISTS exact boolean NOT NULL DEFAULT true;
ALTER TABLE zintar_gap DROP CONSTRAINT IF EXISTS zintar_gap_lost_check;
DO $$
BEGIN
    IF NOT EXISTS (SELECT 1 FROM pg_constraint WHERE conname = 'zintar_gap_lost_counted') THEN
        ALTER TABLE zintar_gap ADD CONSTRAINT zintar_gap_lost_counted CHECK (lost > 0 OR (lost = 0 AND NOT exact));
    END IF;
END
$$;
COMMENT ON TABLE zintar_gap IS
    'One row per gap: lost messages of one generation of a host''s log were overwritten before they '
    'could be forwarded (at least lost of them where exact is false: nobody could count them). A gap '
    'record carries no sequence; a copy of it keeps its time stamp, so host, generation, time and '
    'lost identify it. id grows in the order rows were committed.';
CREATE INDEX IF NOT EXISTS zintar_gap_host_time ON zintar_gap (host, time);
CREATE INDEX IF NOT EXISTS zintar_gap_time ON zintar_gap (time);
CREATE INDEX IF NOT EXISTS zintar_gap_id ON zintar_gap (id);

-- --- Rejected records -----------------------------------------------------------------------------
-- What reached the loader but is not a zintar record it can store: the line exactly as it came
-- (bytes, since it may not be UTF-8), why, and from where.
CREATE TABLE IF NOT EXISTS zintar_rejected (
    id        bigint      GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    received  timestamptz NOT NULL DEFAULT now(),
    peer      text        NOT NULL,
    host      text,
    reason    text        NOT NULL,
    line      bytea       NOT NULL
);
COMMENT ON TABLE zintar_rejected IS
    'Records the loader could not store as messages or gaps: not a zintar record, a field out of '
    'range, text that is not UTF-8. line is the record as rsyslog handed it over; peer the address '
    'it came from; host its HOSTNAME where one could be read.';
CREATE INDEX IF NOT EXISTS zintar_rejected_received ON zintar_rejected (received);

-- --- Hosts ----------------------------------------------------------------------------------------
-- A row per machine, kept by the loader in the same transaction as its messages, so that the
-- fleet's overview never counts millions of rows.
CREATE TABLE IF NOT EXISTS zintar_host (
    host           text        PRIMARY KEY,
    messages       bigint      NOT NULL,
    first_time     timestamptz,
    last_time      timestamptz,
    first_received timestamptz NOT NULL,
    last_received  timestamptz NOT NULL
);
COMMENT ON TABLE zintar_host IS
    'Per host: messages stored, the oldest and newest message time, when its first and last row '
    'were stored. Kept by the loader and by retention.';

-- --- The loader's place in rsyslog's spool -------------------------------------------------------
-- rsyslog writes every record into a spool file an hour before it answers it; the loader stores the
-- spool's lines and moves its place in the same transaction as their rows, so a loader that stops
-- anywhere goes on where its last commit left it.
CREATE TABLE IF NOT EXISTS zintar_spool_position (
    file     text        PRIMARY KEY,
    position bigint      NOT NULL CHECK (position >= 0),
    updated  timestamptz NOT NULL DEFAULT now()
);
COMMENT ON TABLE zintar_spool_position IS
    'Per spool file of rsyslog: the bytes the loader has stored. A file read to its end and no longer '
    'written is removed, with its row.';

-- --- Partitions -----------------------------------------------------------------------------------
-- The day partition of DAY, made if missing. Rows of that day already in the default partition
-- move into it in the same transaction. Days more than 400 days before or 2 days after today get
-- none: their rows stay in the default partition. Owned by the schema's owner, so that the loader
-- may make partitions without owning the table.
CREATE OR REPLACE FUNCTION zintar_make_partition(day date) RETURNS boolean
LANGUAGE plpgsql SECURITY DEFINER SET search_path = public, pg_temp AS $$
DECLARE
    name text := format('zintar_message_%s', to_char(day, 'YYYYMMDD'));
    low timestamptz := day::timestamp AT TIME ZONE 'UTC';
    high timestamptz := (day + 1)::timestamp AT TIME ZONE 'UTC';
BEGIN
    IF day < (now() AT TIME ZONE 'UTC')::date - 400 OR day > (now() AT TIME ZONE 'UTC')::date + 2 THEN
        RETURN false;
    END IF;
    IF to_regclass(name) IS NOT NULL THEN
        RETURN true;
    END IF;
    LOCK TABLE zintar_message_default IN EXCLUSIVE MODE;
    EXECUTE format('CREATE TABLE %I (LIKE zintar_message INCLUDING DEFAULTS INCLUDING CONSTRAINTS)', name);
    EXECUTE format('WITH moved AS (DELETE FROM zintar_message_default WHERE time >= $1 AND time < $2 RETURNING *) '
                   'INSERT INTO %I SELECT * FROM moved', name) USING low, high;
    EXECUTE format('ALTER TABLE zintar_message ATTACH PARTITION %I FOR VALUES FROM (%L) TO (%L)', name, low, high);
    RETURN true;
END
$$;

-- Retention: drops the day partitions wholly older than CUTOFF (a day is kept while any of it is
-- newer), the default partition's rows received before CUTOFF, and gaps and rejected records older
-- than CUTOFF; the hosts' counts follow. Returns the messages dropped.
CREATE OR REPLACE FUNCTION zintar_drop_before(cutoff timestamptz) RETURNS bigint
LANGUAGE plpgsql SECURITY DEFINER SET search_path = public, pg_temp AS $$
DECLARE
    partition record;
    dropped bigint := 0;
BEGIN
    CREATE TEMPORARY TABLE IF NOT EXISTS zintar_dropped (host text, messages bigint) ON COMMIT DROP;
    FOR partition IN
        SELECT c.oid::regclass AS name
        FROM pg_inherits i JOIN pg_class c ON c.oid = i.inhrelid
        WHERE i.inhparent = 'zintar_message'::regclass
          AND c.relname ~ '^zintar_message_[0-9]{8}$'
          AND to_date(substr(c.relname, 16), 'YYYYMMDD') + 1 <= (cutoff AT TIME ZONE 'UTC')::date
        ORDER BY c.relname
    LOOP
        EXECUTE format('INSERT INTO zintar_dropped SELECT host, count(*) FROM %s GROUP BY host', partition.name);
        EXECUTE format('DROP TABLE %s', partition.name);
    END LOOP;
    WITH gone AS (DELETE FROM zintar_message_default WHERE received < cutoff RETURNING host)
    INSERT INTO zintar_dropped SELECT host, count(*) FROM gone GROUP BY host;
    SELECT coalesce(sum(messages), 0) INTO dropped FROM zintar_dropped;

    UPDATE zintar_host h SET messages = h.messages - d.messages
    FROM (SELECT host, sum(messages) AS messages FROM zintar_dropped GROUP BY host) d
    WHERE h.host = d.host;
    UPDATE zintar_host h SET first_time = (SELECT min(m.time) FROM zintar_message m WHERE m.host = h.host)
    WHERE h.host IN (SELECT host FROM zintar_dropped);
    DELETE FROM zintar_gap WHERE time < cutoff;
    DELETE FROM zintar_rejected WHERE received < cutoff;
    DROP TABLE zintar_dropped;
    RETURN dropped;
END
$$;

-- --- The earlier layout's rows, moved ---------------------------------------------------------------
DO $$
DECLARE
    before bigint;
    after bigint;
    day date;
BEGIN
    IF to_regclass('public.zintar_message_unpartitioned') IS NULL THEN
        RETURN;
    END IF;
    FOR day IN SELECT DISTINCT (time AT TIME ZONE 'UTC')::date FROM zintar_message_unpartitioned LOOP
        PERFORM zintar_make_partition(day);
    END LOOP;
    SELECT count(*) INTO before FROM zintar_message_unpartitioned;
    INSERT INTO zintar_message (host, sequence, digest, generation, type, time, aux, text, received)
    SELECT host, sequence, digest, generation, type, time, aux, text, received
    FROM zintar_message_unpartitioned ORDER BY received, host, sequence
    ON CONFLICT DO NOTHING;
    SELECT count(*) INTO after FROM zintar_message;
    IF after <> before THEN
        RAISE EXCEPTION 'The migration found % rows and stored %: nothing was changed', before, after;
    END IF;
    INSERT INTO zintar_host (host, messages, first_time, last_time, first_received, last_received)
    SELECT host, count(*), min(time), max(time), min(received), max(received)
    FROM zintar_message GROUP BY host
    ON CONFLICT (host) DO NOTHING;
    DROP TABLE zintar_message_unpartitioned;
    RAISE NOTICE 'Moved % messages into the partitioned zintar_message', after;
END
$$;

-- --- Rights ---------------------------------------------------------------------------------------
-- The loader adds rows and reads the keys' columns, which ON CONFLICT (key) needs, and keeps the
-- hosts' rows; partitions and retention go through the functions above.
GRANT USAGE ON SCHEMA public TO zintar_writer, zintar_reader;
GRANT INSERT ON zintar_message, zintar_gap, zintar_rejected TO zintar_writer;
GRANT SELECT (host, sequence, digest, time, received) ON zintar_message TO zintar_writer;
GRANT SELECT (host, generation, time, lost) ON zintar_gap TO zintar_writer;
GRANT SELECT, INSERT, UPDATE ON zintar_host TO zintar_writer;
GRANT SELECT, INSERT, UPDATE, DELETE ON zintar_spool_position TO zintar_writer;
REVOKE ALL ON FUNCTION zintar_make_partition(date), zintar_drop_before(timestamptz) FROM PUBLIC;
GRANT EXECUTE ON FUNCTION zintar_make_partition(date), zintar_drop_before(timestamptz) TO zintar_writer;
GRANT SELECT ON zintar_message, zintar_gap, zintar_rejected, zintar_host, zintar_spool_position TO zintar_reader;
-- The rows of clocks far off are counted on their own (zintar-fleet check's `misdated`).
GRANT SELECT ON zintar_message_default TO zintar_reader;

COMMIT;
