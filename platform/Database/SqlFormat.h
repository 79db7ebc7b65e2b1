// Printf-style SQL texts with bound values.
//
// Callers of the database layer write conditions and call texts printf-style
// ("BinarySetID = %d", "%d,'%s',%d"). FormatBound turns such a text into two things: the text
// as printf would print it (for logs), and portable SQL in which every conversion is a bound
// parameter ($n). A text value therefore never becomes part of a statement, whatever it holds.
//   - '%s' (a conversion directly between single quotes) becomes $n, the value bound as text;
//     a conversion elsewhere inside a quoted literal is spliced in with ||.
//   - %s right after the keyword IN whose value is a parenthesised list of integers, as in
//     "NewUpdateOSID in %s" with "( 1, 3)", becomes ($n, $n+1) with one integer each. Any other
//     %s outside quotes is refused (the text fails), never bound as a text.
//   - A precision ("%.5s", "%.*s") cuts the bound text as it cuts the printed one.
//   - %d, %ld, %lld, %u, ... bind integers; %f, %g, ... bind reals; %c a one-letter text;
//     %s with a null pointer binds NULL (printed "(null)").
#ifndef KQ_PLATFORM_DATABASE_SQLFORMAT_H_
#define KQ_PLATFORM_DATABASE_SQLFORMAT_H_

#pragma GCC visibility push(default)

#include <cstdarg>
#include <string>
#include <vector>

#include "Database/DbBackend.h"

namespace kq {
namespace db {

struct BoundText {
  std::string sql;            // portable SQL with $n placeholders
  std::string text;           // as printf prints it
  std::vector<Value> params;  // $1.. in order
};

// False with err for a conversion it cannot bind (%n, %p with a width, an unknown letter).
bool FormatBound(const char* format, va_list args, BoundText& out, std::string& err);

}  // namespace db
}  // namespace kq

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_DATABASE_SQLFORMAT_H_
