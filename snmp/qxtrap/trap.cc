// The sender's run.
#include "trap.h"

#include <netdb.h>
#include <qxenv.h>
#include <qxplatform/environment.h>
#include <qxplatform/system.h>
#include <qxsnmp/errors.h>
#include <qxsnmp/objid.h>
#include <qxsnmp/report.h>
#include <qxsnmp/session.h>
#include <sys/socket.h>

#include <cstdio>
#include <vector>

#include "command_line.h"
#include "startup.h"
#include "tokenizer.h"
#include "varbind.h"

namespace qx::qxtrap {
namespace {

// Capacities of the default enterprise and the default variable name.
constexpr size_t kEnterpriseCapacity = 64;
constexpr size_t kVariableNameCapacity = 9;

// The code of a binary message: facility 357, message 50 (host not resolvable).
constexpr int kMsgUnknownHost = 50;

int NoticeNothing(int, snmp::SnmpSession*, uint32_t, snmp::SnmpPdu*, void*) {
  return 0;
}

// Converts an environment variable's object identifier into *value; 0 or the
// reported error code.
int ReadDefaultObjid(const char* name, size_t capacity, std::vector<oid>* value) {
  std::optional<std::string> text = ReadVariable(name);
  if (!text) return 0;
  std::vector<oid> converted(capacity);
  int32_t count = static_cast<int32_t>(capacity);
  int rc = snmp::read_rawobjid(text->c_str(), converted.data(), &count);
  if (rc != 1) {
    snmp::SetInsertText(1, *text);
    snmp::report_error(rc);
    return rc;
  }
  converted.resize(static_cast<size_t>(count));
  *value = converted;
  return 0;
}

// Resolves the node once before the session opens; false when it cannot be.
bool ParseAddress(const std::string& node) {
  addrinfo hints{};
  hints.ai_flags = AI_PASSIVE;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* list = nullptr;
  if (getaddrinfo(node.c_str(), nullptr, &hints, &list) != 0) return false;
  const addrinfo* chosen = list;
  for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
    if (a->ai_family == AF_INET) {
      chosen = a;
      break;
    }
  }
  char host[NI_MAXHOST] = "";
  if (chosen != nullptr)
    getnameinfo(chosen->ai_addr, chosen->ai_addrlen, host, sizeof host, nullptr, 0,
                NI_NUMERICHOST | NI_NUMERICSERV);
  QX_SNMP_TRACE("parse_address address = %s\n", host);
  freeaddrinfo(list);
  return true;
}

void PrintUsage() {
  std::fputs(kUsageText, stdout);
  std::fflush(stdout);
}

// Builds the trap from the command line and sends it; the exit status.
int SendTrap(const CommandLine& command, const std::vector<oid>& enterprise,
             const std::vector<oid>& variable_name) {
  const std::string node = *command.positionals[kNode];
  if (!ParseAddress(node)) {
    snmp::SetInsertText(1, node);
    snmp::report_error(kMsgUnknownHost);
    return kExitUnknownNode;
  }
  snmp::SnmpSession params;
  params.community = command.community.value_or("");
  params.retries = command.retries;
  params.timeout = command.timeout;
  params.peername = node;
  params.remote_port = command.port;
  params.local_port = 0;
  params.callback = NoticeNothing;
  snmp::SnmpSession* session = snmp::snmp_open(params);

  auto pdu = snmp::snmp_pdu_create(snmp::SNMP_MSG_TRAP);
  pdu->peer = node;
  pdu->enterprise = enterprise;
  pdu->agent_addr = command.positionals[kAgent].value_or("");
  pdu->generic_type = ArgumentNumber(*command.positionals[kGeneric]);
  pdu->specific_type = ArgumentNumber(*command.positionals[kSpecific]);
  const std::string time_text = command.positionals[kTimeStamp].value_or("");
  pdu->time =
      time_text.empty() ? DefaultTimeStamp() : static_cast<uint32_t>(ArgumentNumber(time_text));
  for (const Triple& triple : command.triples) {
    snmp::VarBind& binding = pdu->variables.emplace_back();
    int rc = QXbuildVarList(&binding, triple, variable_name);
    if (rc != 0) return rc;
  }
  if (snmp::snmp_send(session, pdu.get()) == 0) {
    QX_SNMP_TRACE("main, snmp_send failed\n");
    snmp::report_error(5);
    return kExitSendFailed;
  }
  snmp::snmp_close(session);
  return 0;
}

}  // namespace

uint32_t DefaultTimeStamp() {
  return static_cast<uint32_t>(GetTickCount64() / 10);
}

std::optional<std::string> ReadVariable(const char* name) {
  const char* value = QXgetenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

int RunQxtrap(int argc, const char* const* argv) {
  char scratch[3][256] = {};
  start_prologue(scratch[0], scratch[1], scratch[2]);
  // Debug tracing is on when the variable exists, whatever its value (also empty).
  snmp::SetDebugTracing(qx::platform::GetEnv(kDebugVariable).has_value());
  QX_SNMP_TRACE("retreived command line: %s\n", JoinArguments(argc, argv).c_str());

  TokenStore store = TokensFromArguments(argc, argv);
  std::vector<oid> enterprise = {1, 3, 6, 1, 4, 1, QX_ENTERPRISE_NUMBER};
  std::vector<oid> variable_name = {1, 3, 6, 1, 2, 1, 1, 2, 3};
  if (int rc = ReadDefaultObjid(kEnterpriseVariable, kEnterpriseCapacity, &enterprise)) return rc;
  if (int rc = ReadDefaultObjid(kVariableNameVariable, kVariableNameCapacity, &variable_name))
    return rc;

  CommandLine command = ParseCommandLine(store, &enterprise);
  if (command.conversion_error != 0) return command.conversion_error;
  snmp::SetDumpCounter(command.dump);
  if (!ReadyToSend(command)) {
    PrintUsage();
    return kExitUsage;
  }
  return SendTrap(command, enterprise, variable_name);
}

}  // namespace qx::qxtrap
