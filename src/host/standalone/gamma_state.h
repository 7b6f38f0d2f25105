#pragma once
// What the host's gamma settings mean for image files right now.

namespace paravelle::host::standalone {

// The gamma that integer image files are encoded with: 1.0 (none) while gamma correction
// is disabled or when the file-out gamma is not a positive finite number, else the
// file-out gamma.
float effective_output_gamma();

// The same for image files read by the host, from the file-in gamma.
float effective_input_gamma();

}  // namespace paravelle::host::standalone
