#pragma once
// The update streams feedsim sends, written with the feed's own QelUpdate
// writer into a buffer sized exactly for them: an image is CLEAR followed by
// one ADD_ROW per row; an update is one SELECT_ROW with the changed fields.
// Both return false, with a log line, only when a field block cannot be made.

#include <string>
#include <vector>

#include "tools/feedsim/SimQuote.h"

bool simImageStream(const std::vector<SimRow>& rows, std::string& out);
bool simSelectStream(unsigned row, const SimRow& fields, std::string& out);
