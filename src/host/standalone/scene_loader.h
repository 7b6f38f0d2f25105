#pragma once
// Reading scene files ("format": "paravelle-scene", "version": 1). Every error names
// the file and what is wrong in it, e.g.
//   "/scenes/shot.json: line 12, column 5: syntax error: ..."
//   "/scenes/shot.json: nodes[1](\"Camera01\").fov: expected a number"

#include <string>

#include "host/standalone/scene_model.h"

namespace paravelle::host::standalone {

inline constexpr const char* kSceneFormatName = "paravelle-scene";
inline constexpr int kSceneFormatVersion = 1;

// Reads and checks a scene file; throws std::runtime_error with the message above.
SceneSpec load_scene_file(const std::string& native_path);

// The same for scene text already in memory; `label` names it in errors.
SceneSpec parse_scene_text(const std::string& text, const std::string& label);

// Nodes are read by their own unit; the scene reader calls this per "nodes" array.
class JsonField;
std::vector<NodeSpec> read_nodes(const JsonField& array);
Track read_track(const JsonField& field);

}  // namespace paravelle::host::standalone
