#pragma once
// Platform services the plug-in takes from its host rather than from the OS directly:
// a wrapping millisecond tick counter, sleeping, the thread id and the host's event
// queue. A port to another host replaces the implementation, never the callers.

#include <cstdint>
#include <functional>

namespace paravelle::host {

// 32-bit millisecond counter that wraps like the original host's; callers take
// differences modulo 2^32.
std::uint32_t tick_count();

void sleep_ms(std::uint32_t milliseconds);

// A stable numeric id of the calling thread (the kernel's thread id).
std::uint32_t current_thread_id();

// Every thread has its own event queue, as every thread has its own window message
// queue: a drain runs the calling thread's pending events only, so a renderer thread
// that pumps its queue never runs work meant for the thread that drives the host.

// Runs every pending host event of the calling thread's queue, then returns. Events
// posted meanwhile to this thread run in the same drain.
void drain_messages();

// Queues an event for the calling thread's next drain (the host's UI work).
void post_message(std::function<void()> event);

// Queues an event for the next drain of the thread with this id (current_thread_id()),
// as a message posted to another thread's queue is.
void post_message_to(std::uint32_t thread_id, std::function<void()> event);

// How many drains ran in this process, on any thread; lets tests see that a caller
// pumped the queue.
std::uint64_t drain_count();

// Test seam: shifts the tick counter so tests can put it just before the wrap.
void set_tick_offset(std::uint32_t offset);

// Test seam: sleep_ms calls `sleeper` instead of sleeping (an empty function restores
// real sleeping), so tests can run long retry sequences and error pauses at once and
// see every wait that was asked for. Set it only while no other thread sleeps.
void set_sleep_function(std::function<void(std::uint32_t milliseconds)> sleeper);

}  // namespace paravelle::host
