// One connection to the collector's PostgreSQL through libpq, made the way PostgreSQL's own client
// programs make it: a conninfo string or URI, and whatever it leaves out from the PG* environment
// variables and ~/.pgpass. Every value travels as a parameter, never pasted into SQL text.
//
// Not thread-safe: a connection belongs to one thread at a time. Cancel() alone may be called from
// another thread, to end the statement that runs.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "util/Exceptions.h"

struct pg_conn;
struct pg_result;

namespace ZintarFleet {

// A failure the server or libpq reported. `sqlState` is the five-character SQLSTATE when the server
// sent one ("" for a connection that failed or broke); the text is libpq's, with a hint of what to do
// where one is known.
class DatabaseError : public ZintarUtil::Exceptions::ExceptionBase {
public:
    DatabaseError(const std::string& message, std::string sqlState);
    DatabaseError(const DatabaseError& other);
    ~DatabaseError() override;
    ZintarUtil::Exceptions::ExceptionBase* Clone() const override;

    const std::string& SqlState() const { return sqlState; }
    // A value the server refused (SQLSTATE classes 22 and 23): the same statement without that
    // value could succeed, while any other failure would fail again for every value.
    bool IsDataError() const;
    // The connection is gone (or was never made): a new one may succeed.
    bool IsConnectionLost() const { return sqlState.empty() || sqlState.starts_with("08") || sqlState == "57P01"; }
    // The statement ran out of its statement_timeout or was cancelled.
    bool IsCancelled() const { return sqlState == "57014"; }

private:
    std::string sqlState;
};

// A query's result rows: text values, or nothing for NULL.
class Rows {
public:
    Rows() = default;
    explicit Rows(pg_result* result);

    int Count() const;
    int Columns() const;
    bool IsNull(int row, int column) const;
    std::string Text(int row, int column) const;  // "" for NULL
    long long Integer(int row, int column) const;
    std::string ColumnName(int column) const;

private:
    std::shared_ptr<pg_result> result;
};

using Parameter = std::optional<std::string>;

class Database {
public:
    // Connects with `conninfo` ("" takes everything from the environment). `applicationName` is
    // what pg_stat_activity shows unless the conninfo names one. Throws DatabaseError, naming the
    // server or the role with what to do.
    Database(const std::string& conninfo, const std::string& applicationName);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // A statement without parameters (several may be separated by ';').
    void Execute(const std::string& sql);
    // One statement with $1, $2, ...: prepared once under `name` and run with `parameters`.
    Rows Query(const std::string& name, const std::string& sql, const std::vector<Parameter>& parameters = {});
    // COPY ... FROM STDIN with `data` in COPY's text format.
    void CopyIn(const std::string& copySql, const std::string& data);

    // Asks the server to cancel the statement that runs now; safe from any thread.
    void Cancel();

    bool IsConnected() const;
    std::string User() const;
    std::string Where() const;  // "database D on HOST:PORT", for messages

private:
    Rows Check(pg_result* result, const char* what);
    [[noreturn]] void Fail(const char* what, pg_result* result = nullptr);

    pg_conn* connection = nullptr;
    std::vector<std::string> prepared;
    struct CancelHandle;
    std::unique_ptr<CancelHandle> cancel;
};

// Doubles what COPY's text format would read as special: backslash, tab, line ends.
void AppendCopyField(std::string& row, const std::string& value);

}  // namespace ZintarFleet
