// A PostgreSQL cluster of a test's own, never the machine's: initdb into a fresh temporary folder,
// the server on a free port of 127.0.0.1 with its socket in that folder, a database `zintar` with
// collector/schema.sql loaded. Native Linux only.
//
//   if (!ZintarTest::PrivatePostgres::Available())
//       GTEST_SKIP() << "no PostgreSQL server installed";
//   ZintarTest::PrivatePostgres pg;                      // started, schema loaded
//   Database reader(pg.Conninfo("zintar_reader"), "test");
//   pg.Execute("UPDATE zintar_host SET ...");            // as the superuser
//
// As root, initdb and the server run as the `postgres` account (PostgreSQL refuses root), and the
// folder is opened for it. Every step is bounded (`timeout` around the programs, pg_ctl's own -t);
// the destructor stops the server (pg_ctl stop -m immediate, then SIGKILL to the postmaster's PID if
// it is still there) and removes the folder, also when a failed assertion ended the test early.
// One thread uses an instance at a time; connections to it may come from any thread.
#pragma once

#include <string>

namespace ZintarTest {

class PrivatePostgres {
public:
    // Whether a PostgreSQL server is installed (/usr/lib/postgresql/*/bin/initdb).
    static bool Available();

    // Starts the cluster and loads the schema. Throws std::runtime_error with the tail of what
    // initdb or the server said when that fails.
    PrivatePostgres();
    ~PrivatePostgres();
    PrivatePostgres(const PrivatePostgres&) = delete;
    PrivatePostgres& operator=(const PrivatePostgres&) = delete;

    int Port() const { return port; }
    // "host=127.0.0.1 port=N dbname=zintar user=USER" (the cluster trusts every local login).
    std::string Conninfo(const std::string& user) const;
    // `sql` (several statements may be separated by ';') as the superuser on `zintar`; throws
    // std::runtime_error with the server's message. Returns the first row's first value, "" if none.
    std::string Execute(const std::string& sql) const;

    // Stops the server at once (as a crash would); safe to call twice. Connections made before
    // fail from then on, new ones are refused.
    void Stop();
    // Starts it again on the same port, with everything it held.
    void Restart();

private:
    void StartServer(int wanted);

    std::string folder;  // the temporary folder, removed at the end
    std::string data;    // the cluster's data folder inside it
    std::string binDir;  // where initdb and pg_ctl are
    int port = 0;
    int postmasterPid = 0;
};

}  // namespace ZintarTest
