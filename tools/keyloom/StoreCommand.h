// `keyloom store list [--machine] STORE`: the certificates of one system
// store of the current user (or of the machine), through the platform's
// store calls, one JSON object a line.
// `keyloom store delete [--machine] STORE THUMBPRINT`: deletes the
// certificate whose SHA-1 thumbprint (40 hexadecimal digits) is given.
#pragma once

#include <string>
#include <vector>

// Runs a store command; returns the exit code (0 done, 1 failed, 2 usage).
// A store that does not exist is a failure (0x80070002), except the
// predefined stores ("My", "Root", "CA", ...), which every account has and
// which list as empty before anything was added to them. Nothing is
// created or written by a listing: the store is opened read-only. A delete
// that finds no such certificate fails with 0x80092004; a thumbprint that
// is not 40 hexadecimal digits is a usage error.
int RunStoreCommand(const std::vector<std::string>& args);
