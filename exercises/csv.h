// Comma-separated values as RFC 4180 has them, for the class lists: a field
// with a comma, a quote or a line end is quoted, its quotes doubled.
#pragma once

#include <string>
#include <vector>

std::string csv_row(const std::vector<std::string>& fields);

struct csv_record {
    int line;   // where it starts in the text, from 1
    std::vector<std::string> fields;
};

// The records of TEXT. On a quote that is never closed, or one inside an
// unquoted field or straight after a closing quote, returns false with the
// line in BAD_LINE.
bool csv_records(const std::string& text, std::vector<csv_record>& records, int& bad_line);
