// The filter operation table and the rule vocabulary of the handheld
// application, in its own order.
#include "export/Export.h"

namespace tolvex {

const FilterOperation kFilterOperations[] = {
    {0, "Checked", 0, nullptr},
    {1, "Title Matches", 1, "Case sensitive"},
    {22, "Title Caseless", 1, "Case insensitive"},
    {2, "Title Present", 0, nullptr},
    {3, "Note Matches", 1, "Case sensitive"},
    {4, "Note Present", 0, nullptr},
    {23, "Tag Association", 4, "Pick or write a tag name"},
    {24, "Tags Present", 0, "Any tag present"},
    {5, "Links Broken", 0, nullptr},
    {6, "ToDo Link Present", 0, nullptr},
    {7, "Datebook Link Present", 0, nullptr},
    {10, "Priority", 2, "Priority '-' is zero (0)"},
    {11, "Progress", 2, "In percentage points, 0 - 100"},
    {12, "Target Date Present", 0, nullptr},
    {13, "Target Date", 3, "Pick date value to match"},
    {14, "Start Date Present", 0, nullptr},
    {15, "Start Date", 3, "Pick date value to match"},
    {16, "Finish Date Present", 0, nullptr},
    {17, "Finish Date", 3, "Pick date value to match"},
    {18, "Changed/Edited", 0, nullptr},
    {19, "Indent level", 2, "Top is level one (1)"},
    {21, "Bolded", 0, nullptr},
    {25, "Address Link", 5, "Palm OS 4.0 or later req'd"},
    {999, nullptr, 0, nullptr},
};

const FilterOperation* findFilterOperation(unsigned code) {
  for (const FilterOperation* row = kFilterOperations; row->name; ++row)
    if (row->code == code) return row;
  return nullptr;
}

const char* const kRuleVocabulary[] = {
    "contains", "contains", "contains", "contains", "contains",
    "<", "<=", "=", "!=", ">=", ">",
    "less than", "less/equal to", "equal to", "not equal to", "greater/equal to", "greater than",
    "No", "Yes",
    "Last week", "This week", "Yesterday", "Today", "Tomorrow", "Next 7 days", "Next week",
};
const size_t kRuleVocabularySize = sizeof kRuleVocabulary / sizeof kRuleVocabulary[0];

}  // namespace tolvex
