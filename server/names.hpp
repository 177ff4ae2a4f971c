#pragma once
#include <string>

// Player names as people read them: one person's name must not be taken by
// another through invisible characters, another case or letters of another
// script that look the same.
namespace server {

struct name_check {
    bool ok = false;
    std::string reason;  // why not, for the player
    std::string key;     // equal for names a reader could take for one another
};

// A name of 3 to 24 printable characters without spaces at either end and
// without format, bidirectional, private-use or unassigned characters; its
// key is the confusables' skeleton of its case-folded, NFKC-normalised
// skeleton, so that case, compatibility forms and look-alike letters
// (Cyrillic "а" for Latin "a", capital "I" for "l") meet on one key.
name_check check_name(const std::string& utf8);

}  // namespace server
