#include "tools/zintar-fleet/Database.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>

#include <libpq-fe.h>

namespace ZintarFleet {

DatabaseError::DatabaseError(const std::string& message, std::string sqlState)
    : ExceptionBase(message), sqlState(std::move(sqlState))
{
}

DatabaseError::DatabaseError(const DatabaseError& other) = default;

DatabaseError::~DatabaseError() = default;

ZintarUtil::Exceptions::ExceptionBase* DatabaseError::Clone() const
{
    return new DatabaseError(*this);
}

bool DatabaseError::IsDataError() const
{
    // 23505 (unique violation) cannot happen under ON CONFLICT DO NOTHING; any 22 or 23 is a value.
    return sqlState.starts_with("22") || sqlState.starts_with("23");
}

Rows::Rows(pg_result* result) : result(result, PQclear) {}

int Rows::Count() const
{
    return result ? PQntuples(result.get()) : 0;
}

int Rows::Columns() const
{
    return result ? PQnfields(result.get()) : 0;
}

bool Rows::IsNull(int row, int column) const
{
    return PQgetisnull(result.get(), row, column) != 0;
}

std::string Rows::Text(int row, int column) const
{
    return std::string(PQgetvalue(result.get(), row, column),
                       static_cast<size_t>(PQgetlength(result.get(), row, column)));
}

long long Rows::Integer(int row, int column) const
{
    return IsNull(row, column) ? 0 : std::strtoll(PQgetvalue(result.get(), row, column), nullptr, 10);
}

std::string Rows::ColumnName(int column) const
{
    return PQfname(result.get(), column);
}

struct Database::CancelHandle {
    std::mutex lock;
    PGcancel* handle = nullptr;
};

namespace {

std::string Trimmed(const char* text)
{
    std::string message = text ? text : "";
    while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
        message.pop_back();
    return message;
}

// What to do about a login the server refused or a server that is not there.
std::string ConnectHint(const std::string& message)
{
    if (message.find("password authentication failed") != std::string::npos ||
        message.find("no password supplied") != std::string::npos)
        return "give the role's password in ~/.pgpass or PGPASSFILE (or passfile= in --db)";
    if (message.find("does not exist") != std::string::npos && message.find("role") != std::string::npos)
        return "the role is made by collector/schema.sql; give the right one with user= in --db or PGUSER";
    if (message.find("does not exist") != std::string::npos && message.find("database") != std::string::npos)
        return "name the collector's database with dbname= in --db or PGDATABASE";
    if (message.find("Connection refused") != std::string::npos || message.find("No such file") != std::string::npos ||
        message.find("could not translate host name") != std::string::npos ||
        message.find("timeout expired") != std::string::npos)
        return "is PostgreSQL running there? give its address with host= and port= in --db, or PGHOST and PGPORT";
    if (message.find("no pg_hba.conf entry") != std::string::npos)
        return "allow this role from this address in the server's pg_hba.conf";
    return {};
}

}  // namespace

Database::Database(const std::string& conninfo, const std::string& applicationName)
    : cancel(std::make_unique<CancelHandle>())
{
    // A conninfo string or URI; its own application_name and connect_timeout win over these.
    const char* keywords[] = {"fallback_application_name", "connect_timeout", "dbname", nullptr};
    const char* values[] = {applicationName.c_str(), "10", conninfo.c_str(), nullptr};
    connection = PQconnectdbParams(keywords, values, 1);
    if (!connection)
        throw DatabaseError("Failed to connect to PostgreSQL: out of memory", "");
    if (PQstatus(connection) != CONNECTION_OK) {
        const std::string message = Trimmed(PQerrorMessage(connection));
        const std::string hint = ConnectHint(message);
        PQfinish(connection);
        connection = nullptr;
        throw DatabaseError("Failed to connect to PostgreSQL: " + message + (hint.empty() ? "" : " (" + hint + ")"),
                            "");
    }
    std::lock_guard<std::mutex> guard(cancel->lock);
    cancel->handle = PQgetCancel(connection);
}

Database::~Database()
{
    {
        std::lock_guard<std::mutex> guard(cancel->lock);
        if (cancel->handle)
            PQfreeCancel(cancel->handle);
        cancel->handle = nullptr;
    }
    if (connection)
        PQfinish(connection);
}

void Database::Fail(const char* what, pg_result* result)
{
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    std::string message = Trimmed(result ? PQresultErrorMessage(result) : PQerrorMessage(connection));
    if (message.empty())
        message = Trimmed(PQerrorMessage(connection));
    const std::string sqlState = state ? state : "";
    if (result)
        PQclear(result);
    if (PQstatus(connection) != CONNECTION_OK)
        throw DatabaseError(std::string("Failed to ") + what + ", the connection to PostgreSQL broke: " + message, "");
    throw DatabaseError(std::string("Failed to ") + what + ": " + message, sqlState);
}

Rows Database::Check(pg_result* result, const char* what)
{
    const ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        Fail(what, result);
    return Rows(result);
}

void Database::Execute(const std::string& sql)
{
    Check(PQexec(connection, sql.c_str()), "run a statement");
}

Rows Database::Query(const std::string& name, const std::string& sql, const std::vector<Parameter>& parameters)
{
    if (std::find(prepared.begin(), prepared.end(), name) == prepared.end()) {
        Check(PQprepare(connection, name.c_str(), sql.c_str(), 0, nullptr), "prepare a statement");
        prepared.push_back(name);
    }
    std::vector<const char*> values;
    std::vector<int> lengths;
    for (const Parameter& parameter : parameters) {
        values.push_back(parameter ? parameter->c_str() : nullptr);
        lengths.push_back(parameter ? static_cast<int>(parameter->size()) : 0);
    }
    return Check(PQexecPrepared(connection, name.c_str(), static_cast<int>(values.size()), values.data(),
                                lengths.data(), nullptr, 0),
                 "query the collector's database");
}

void Database::CopyIn(const std::string& copySql, const std::string& data)
{
    pg_result* start = PQexec(connection, copySql.c_str());
    if (!start || PQresultStatus(start) != PGRES_COPY_IN)
        Fail("start a COPY", start);
    PQclear(start);
    constexpr size_t kChunk = 1 << 20;
    for (size_t at = 0; at < data.size(); at += kChunk) {
        const size_t length = std::min(kChunk, data.size() - at);
        if (PQputCopyData(connection, data.data() + at, static_cast<int>(length)) != 1)
            Fail("send rows by COPY");
    }
    if (PQputCopyEnd(connection, nullptr) != 1)
        Fail("end a COPY");
    pg_result* result;
    while ((result = PQgetResult(connection)) != nullptr) {
        if (PQresultStatus(result) != PGRES_COMMAND_OK)
            Fail("store rows by COPY", result);
        PQclear(result);
    }
}

void Database::Cancel()
{
    std::lock_guard<std::mutex> guard(cancel->lock);
    if (cancel->handle) {
        char error[256];
        PQcancel(cancel->handle, error, sizeof error);
    }
}

bool Database::IsConnected() const
{
    return connection && PQstatus(connection) == CONNECTION_OK;
}

std::string Database::User() const
{
    return PQuser(connection);
}

std::string Database::Where() const
{
    const char* host = PQhost(connection);
    return "database " + std::string(PQdb(connection)) + " on " + (host ? host : "?") + ":" + PQport(connection);
}

void AppendCopyField(std::string& row, const std::string& value)
{
    for (char c : value) {
        switch (c) {
        case '\\':
            row += "\\\\";
            break;
        case '\t':
            row += "\\t";
            break;
        case '\n':
            row += "\\n";
            break;
        case '\r':
            row += "\\r";
            break;
        default:
            row += c;
        }
    }
}

}  // namespace ZintarFleet
