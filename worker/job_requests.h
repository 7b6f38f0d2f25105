// Answers to the node's requests, taken from a job file.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "worker/job_file.h"

namespace paravelle::worker {

// A RequestHandler (see conversation.h) that answers from the job's entries:
//   GETJOBINFOENTRY key                     the job_info value
//   GETSUBMITINFOENTRY key                  a submit_info value; a list's elements joined by commas
//   GETSUBMITINFOENTRYELEMENTCOUNT key      the number of elements of a submit_info list
//   GETSUBMITINFOENTRYELEMENT index,key     one element of a submit_info list, counted from 0
//   GETAUXFILE index                        an aux file's absolute path, counted from 0
//   GETPATHMAPPEDFILENAME name              the name with the first matching rule applied; unchanged when none matches
// Every answer is "SUCCESS: " + value, or "ERROR: " + the reason.
class JobRequestAnswers {
 public:
  explicit JobRequestAnswers(const JobFile& job);
  std::string operator()(const std::string& request) const;

 private:
  std::string submit_element(const std::string& argument) const;
  std::string aux_file(const std::string& argument) const;

  std::map<std::string, std::string> job_info_;
  std::map<std::string, SubmitInfoValue> submit_info_;
  std::vector<std::string> aux_files_;
  std::vector<PathMappingRule> path_mapping_;
};

// `name` with the first rule whose "from" is a prefix of it replaced by that rule's "to".
// Prefixes match whole path components, ignoring letter case and the kind of slash, as on Windows.
std::string map_path(const std::string& name, const std::vector<PathMappingRule>& rules);

}  // namespace paravelle::worker
