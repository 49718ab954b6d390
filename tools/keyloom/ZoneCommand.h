// `keyloom zone list|add|remove`: the sites of the trusted-sites zone as an
// administrator keeps them, through the platform's zone manager and
// registry (the soft ones, or the real ones on Windows).
#pragma once

#include <string>
#include <vector>

// Runs one zone command; `args` are the words after "zone":
//   list   one object with the trusted-sites zone's attributes ({"zone": 2,
//          "name", "flags", "requireVerification"}), then one per site:
//          first the machine policy's list ({"site", "zone", "source":
//          "machine"}), which decides before the user's, then the user's
//          mappings ({"site": "scheme://host", "zone", "source": "user"}).
//   add PATTERN [--machine]      puts "scheme://host" (host may start with
//          "*.") in the trusted sites: the user's mapping as the control's
//          registration makes it (a plain http pattern too), or with
//          --machine an entry of the machine policy's list. One that is
//          there already is left alone.
//   remove PATTERN [--machine]   takes it out again; one that is not there
//          is an error.
// Returns the exit code: 0 done, 1 failed (the status on standard error;
// a list whose keys do not exist yet is empty, any other failure to read
// them is an error), 2 usage.
int RunZoneCommand(const std::vector<std::string>& args);
