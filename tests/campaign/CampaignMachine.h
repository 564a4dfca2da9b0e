#pragma once

// The scripted machine every schedule of the fault campaign runs on: about forty-five
// processes over executables of every shape the layer models, TCP rows in every
// state, and what changes while and between the two passes.

#include <string>
#include <vector>

namespace campaign {

extern const char kCmdIdx[];
extern const char kTriggerType[];

// The machine before the first pass.
void BuildMachine();

// Sets the clock of the pass (1 or 2); before pass 2 also makes the changes that
// happen between the passes: a pid reused by another executable, a rewritten file,
// the processes that ended during pass 1 gone for good.
void PreparePass(int pass);

// Events inside a pass, at fixed points whatever the faults: a process ends
// between the enumeration and its Init, another during the pause before the report.
// currentPass must outlive the hooks.
void InstallMachineHooks(const int* currentPass);

// "app_sign" of an executable whose counter-signer is missing from its store (the
// fault-free text is ""), as read when the counter-signature does not decode: the
// file then counts as one without counter-signature and keeps its company. "" for
// every other executable.
std::string CompanyWithoutCounterSignature(const std::string& path);

// What a fault-free report of the pass must say by the machine's own tables of
// processes, files and TCP rows, checked right after the pass: every openable
// enumerated process and no other, with its parent, path, name, command line, account,
// CPU time, TCP summary and file size (or no file members for a file it cannot open).
void CheckAgainstMachine(const std::string& report, int pass, std::vector<std::string>* problems);

}  // namespace campaign
