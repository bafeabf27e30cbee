// Object identifier names and value printing on the MIB tree (mib.h).
//
// Names convert both ways: "system.sysDescr.0" (relative to mib-2, 1.3.6.1.2.1)
// or ".iso.org.dod.6.1" (absolute, from the root) to numbers, and numbers to
// ".iso.org.dod.internet.mgmt.mib-2.system.sysDescr.0"; numbers the tree does not
// know are written as numbers. Values print through the printer of the deepest
// tree node their name reaches, e.g. "INTEGER: up(1)", "Timeticks: (8640000)
// 1 day, 0:00:00", "OCTET STRING- (ascii):\tlinux box".
//
// Every routine that writes into a caller's buffer takes the buffer's size,
// writes at most size bytes (the text cut as needed, always NUL-terminated when
// size > 0) and returns the length of the whole text, as snprintf does; a result
// of size or more means the text was cut.
//
// Thread-safety: as the MIB tree (none); the printers themselves are reentrant.
#ifndef QXSNMP_PRINT_H
#define QXSNMP_PRINT_H

#include <qxsnmp/mib.h>
#include <qxsnmp/pdu.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qx::snmp {

// Results of the name conversions.
inline constexpr int kNameNotFound = -214;
inline constexpr int kNameTooLong = -208;

// Converts a name into sub-identifiers; *count is the capacity in, the number
// stored out. Text starting with "." is absolute from the root; other text is
// relative to 1.3.6.1.2.1, whose six sub-identifiers are stored first. Components
// are numbers or labels (compared without regard to case). Returns 1; -214 for a
// label not found at its place; -208 when the capacity is exceeded; 0 for an
// empty component (a doubled or trailing dot, an empty text).
// Without a loaded MIB it ends the process (exit code 1) after reporting it.
int read_objid(const char* text, oid* objid, int32_t* count);

// Converts the components of text below level (the nodes searched for the first
// component; nullptr: no names known there). Returns the number converted (and
// sets *count to it), or 0, -214 or -208 as read_objid.
int parse_subtree(const std::vector<MibNode*>* level, const char* text, oid* objid, int32_t* count);

// Writes the names of objid below level (numbers where the tree has no node) into
// buf. Returns the deepest node that matched, or nullptr; *length (when given)
// receives the whole text's length.
const MibNode* get_symbol(const oid* objid, size_t count, const std::vector<MibNode*>* level,
                          char* buf, size_t size, size_t* length = nullptr);

// "." and the names of objid from the root.
size_t sprint_objid(char* buf, size_t size, const oid* objid, size_t count);
void print_objid(const oid* objid, size_t count);

// "Name: <name>\n<value>\n" for a binding; names below 1.3.6.1.2.1 are shown
// relative to it.
size_t sprint_variable(char* buf, size_t size, const oid* name, size_t count,
                       const VarBind& variable);
// The value text alone.
size_t sprint_value(char* buf, size_t size, const oid* name, size_t count, const VarBind& variable);
// The value text and a line feed on standard output.
void print_value(const oid* name, size_t count, const VarBind& variable);
void print_variable(const oid* name, size_t count, const VarBind& variable);

// The same texts as strings.
std::string ObjidName(const oid* objid, size_t count);
std::string VariableText(const oid* name, size_t count, const VarBind& variable);
std::string ValueText(const oid* name, size_t count, const VarBind& variable);

// "1 day, 0:00:00" for hundredths of a second.
std::string UptimeText(uint32_t ticks);

// The printer of a value kind (mib.h); kinds out of range print by the binding's
// own type.
ValuePrinter PrinterForKind(int kind);

}  // namespace qx::snmp

#endif
