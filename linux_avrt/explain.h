// What the provider notes about each thread's last registration, for QuorvaneAvrtExplain.
// Each note is the calling thread's own; nothing here takes a lock.
#pragma once

#include "avrt_explanation.h"

namespace avrt {

// A registration call begins: forget the thread's previous one.
void NoteCallBegins();
void NoteGrantedByKernel();
void NoteGrantedByRealtimeKit();
void NoteKernelRefused(int error);
// Why RealtimeKit's path refused, and what it said ("name: message"), or the provider's words.
void NoteRealtimeKitRefused(quorvane::AvrtRefusal why, const char* said);
// Why the provider itself refused, before either path was asked.
void NoteRefused(quorvane::AvrtRefusal why);
void NoteGrantedByPortal();
void NotePortalRefused(quorvane::AvrtRefusal why, const char* said);
// QUORVANE_VIA names no path: `word` is the first that is not one.
void NotePathRefused(const char* word);

}  // namespace avrt
