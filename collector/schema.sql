-- The collector's database: what rsyslog's ompgsql writes for zintar-forward.
--
-- Load it once into a database of its own, as a superuser:
--   createdb zintar
--   psql -v ON_ERROR_STOP=1 -d zintar -f schema.sql
--   psql -d zintar -c "ALTER ROLE zintar_writer PASSWORD '...'"   (the password of /etc/zintar-collector/pgpass)
-- Loading it again changes nothing.
--
-- A forwarder resends what the collector has not confirmed, so copies arrive; each table's key is
-- the identity of what it records and rsyslog inserts with ON CONFLICT DO NOTHING, so a copy adds
-- no row. Sequences, generations and counts are unsigned 64-bit numbers on the wire; bigint holds
-- them up to 10^18, and rsyslog sets aside any larger one instead of failing the insert.

CREATE TABLE IF NOT EXISTS zintar_message (
    host       text        NOT NULL,
    sequence   bigint      NOT NULL CHECK (sequence >= 0),
    digest     text        NOT NULL CHECK (digest ~ '^[0-9a-f]{16}$'),
    generation bigint      NOT NULL CHECK (generation >= 0),
    type       smallint    NOT NULL CHECK (type BETWEEN 0 AND 3),
    time       timestamptz NOT NULL,
    aux        text        NOT NULL,
    text       text        NOT NULL,
    received   timestamptz NOT NULL DEFAULT now(),
    PRIMARY KEY (host, sequence, digest)
);
COMMENT ON TABLE zintar_message IS
    'One row per log message of a Tervan Log Server, however often it arrived: host, sequence and '
    'digest identify a message for good. time is the message''s own time stamp, received when the '
    'collector stored it.';

-- Gaps get a table of their own: they have no sequence or digest, so they cannot share the
-- messages' key, and counting messages needs no filter.
CREATE TABLE IF NOT EXISTS zintar_gap (
    host       text        NOT NULL,
    generation bigint      NOT NULL CHECK (generation >= 0),
    time       timestamptz NOT NULL,
    lost       bigint      NOT NULL CHECK (lost > 0),
    text       text        NOT NULL,
    received   timestamptz NOT NULL DEFAULT now(),
    PRIMARY KEY (host, generation, time, lost)
);
COMMENT ON TABLE zintar_gap IS
    'One row per gap: lost messages of one generation of a host''s log were overwritten before they '
    'could be forwarded. A gap record carries no sequence; a copy of it keeps its time stamp, so '
    'host, generation, time and lost identify it.';

CREATE INDEX IF NOT EXISTS zintar_message_time ON zintar_message (host, time);

-- rsyslog's login: it may add rows, and read the keys' columns, which ON CONFLICT (key) needs.
DO $$
BEGIN
    IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'zintar_writer') THEN
        CREATE ROLE zintar_writer LOGIN;
    END IF;
END
$$;
GRANT USAGE ON SCHEMA public TO zintar_writer;
GRANT INSERT ON zintar_message, zintar_gap TO zintar_writer;
GRANT SELECT (host, sequence, digest) ON zintar_message TO zintar_writer;
GRANT SELECT (host, generation, time, lost) ON zintar_gap TO zintar_writer;
