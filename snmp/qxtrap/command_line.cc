// Options, positional arguments and variable triples.
#include "command_line.h"

#include <qxplatform/text.h>
#include <qxsnmp/errors.h>
#include <qxsnmp/objid.h>
#include <qxsnmp/report.h>

#include <cstdlib>

namespace qx::qxtrap {
namespace {

// Reports code with text as insert 1 and marks the argument error.
void ArgumentError(CommandLine* command, int code, const std::string& text) {
  snmp::SetInsertText(1, text);
  snmp::report_error(code);
  command->argument_error = true;
}

bool EqualsNull(const std::string& token) {
  return qx::platform::EqualsNoCase<char>(token, "NULL");
}

// Groups the variable tokens into triples.
void MakeTriples(CommandLine* command, const std::vector<std::string>& variables) {
  size_t k = variables.size();
  size_t whole = k - k % 3;
  for (size_t i = 0; i < whole; i += 3)
    command->triples.push_back(Triple{variables[i], variables[i + 1], variables[i + 2]});
  if (k % 3 == 2) {
    // The last triple lacks its value: acceptable only for a NULL.
    const std::string& type = variables[k - 1];
    if (EqualsNull(type))
      command->triples.push_back(Triple{variables[k - 2], type, std::nullopt});
    else
      ArgumentError(command, kErrIncompleteTriple, type);
  } else if (k % 3 == 1) {
    command->triples.push_back(Triple{variables[k - 1], std::string("NULL"), std::nullopt});
  }
  if (k == 0) command->triples.push_back(Triple{std::nullopt, std::string("NULL"), std::nullopt});
}

}  // namespace

const char* const kUsageText =
    "usage: qxtrap [-d] [-t timeout] [-r retries] "
    "[-p port] [-c community]\n"
    "       node enterprise agent-addr generic-trap specific-trap\n"
    "       time-stamp [variable type value]\n"
    "Enterprise, agent-addr, and time-stamp can be "
    "defaulted with a null (\"\") string.\n"
    "Valid variable types: integer octetstring "
    "octetstringascii objectidentifier\n"
    "null ipaddress counter gauge timeticks "
    "opaque opaqueascii\n";

CommandLine ParseCommandLine(const TokenStore& store, std::vector<oid>* enterprise) {
  CommandLine command;
  const std::vector<std::string>& tokens = store.tokens;
  // What the store could not hold is refused, not lost silently.
  for (const std::string& token : store.too_long)
    ArgumentError(&command, kErrArgumentTooLong, token);

  size_t i = 1;
  size_t filled = 0;
  for (; i < tokens.size(); ++i) {
    const std::string& token = tokens[i];
    if (filled == kPositionals) break;
    if (!token.empty() && token[0] == '-') {
      char letter = token.size() > 1 ? token[1] : '\0';
      bool takes_value = letter == 'c' || letter == 'p' || letter == 'r' || letter == 't';
      std::string value;
      if (takes_value && i + 1 < tokens.size()) value = tokens[++i];
      switch (letter) {
        case 'c':
          command.community = value;
          break;
        case 'd':
          ++command.dump;
          break;
        case 'p':
          command.port = static_cast<uint16_t>(ArgumentNumber(value));
          break;
        case 'r':
          command.retries = ArgumentNumber(value);
          break;
        case 't':
          command.timeout = ArgumentNumber(value);
          break;
        default:
          ArgumentError(&command, kErrUnknownOption, token);
          break;
      }
      continue;
    }
    command.positionals[filled] = token;
    if (filled == kEnterprise && !token.empty() && command.conversion_error == 0) {
      std::vector<oid> converted(snmp::kMaxOidLength);
      int32_t count = snmp::kMaxOidLength;
      int rc = snmp::read_rawobjid(token.c_str(), converted.data(), &count);
      if (rc != 1) {
        snmp::SetInsertText(1, token);
        snmp::report_error(rc);
        command.conversion_error = rc;
        return command;
      }
      converted.resize(static_cast<size_t>(count));
      *enterprise = converted;
    }
    ++filled;
  }
  QX_SNMP_TRACE("agent_str = %s\n", command.positionals[kAgent].value_or("").c_str());
  QX_SNMP_TRACE("node_str = %s\n", command.positionals[kNode].value_or("").c_str());

  std::vector<std::string> variables;
  for (; i < tokens.size(); ++i) {
    if (variables.size() == kMaxVariableTokens) {
      ArgumentError(&command, kErrTooManyVariables,
                    std::to_string(kMaxVariableTokens + (tokens.size() - i)));
      break;
    }
    variables.push_back(tokens[i]);
  }
  MakeTriples(&command, variables);
  if (tokens.size() < 7)
    ArgumentError(&command, kErrTooFewArguments,
                  std::to_string(tokens.empty() ? 0 : tokens.size() - 1));
  return command;
}

bool ReadyToSend(const CommandLine& command) {
  const auto& node = command.positionals[kNode];
  bool node_given = node.has_value() && !node->empty();
  bool numbers_given = command.positionals[kGeneric] && command.positionals[kSpecific];
  if (command.argument_error) QX_SNMP_TRACE("nogo\n");
  if (!node_given) QX_SNMP_TRACE("!*node, node_str = %s\n", node.value_or("").c_str());
  if (!numbers_given) QX_SNMP_TRACE("!generic && !specific\n");
  return !command.argument_error && node_given && numbers_given;
}

}  // namespace qx::qxtrap
