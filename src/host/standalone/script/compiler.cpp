// The parser and compiled-code values, and the host's convenience entry points.

#include "evaluator.h"
#include "grammar.h"
#include "heap.h"
#include "nesting.h"
#include "values.h"

CodeTree::CodeTree(std::shared_ptr<const paravelle::host::script::Program> program)
    : Value(&CodeTree_class), program_(std::move(program)) {}

namespace {

// Scripts that run scripts (a scene script that loads its own scene, say) would otherwise
// nest until the stack runs out. A nested evaluation also needs room for one tree of the
// greatest depth, with printing and a collection on top of it; the outermost one gets
// whatever the thread has, as it always did.
constexpr std::size_t kMaximumNestedEvaluations = 32;
constexpr std::size_t kStackForNestedEvaluation = 2 * 1024 * 1024;
constexpr wchar_t kNestedTooDeeply[] = L"scripts nested too deeply (a script that runs itself?)";

// The parser lets `exit`, `continue` and `return` appear only inside what they leave, so
// their signals end there. Should one ever get past, it must still end as a script error
// here rather than leave the runtime as a C++ exception nobody expects.
Value* run_to_end(paravelle::host::script::Evaluator& evaluator) {
  try {
    return evaluator.run();
  } catch (const paravelle::host::script::LoopExit&) {
  } catch (const paravelle::host::script::LoopContinue&) {
  } catch (const paravelle::host::script::FunctionReturn&) {
  }
  throw RuntimeError(L"exit, continue or return outside of what it leaves");
}

}  // namespace

// An evaluation start is a safe point: the code itself is rooted here, and callers keep
// what they hold in frames.
Value* CodeTree::eval() {
  paravelle::host::script::Rooted keep(this);
  const paravelle::host::script::DepthGuard nested(paravelle::host::script::DepthKind::evaluation,
                                                   kMaximumNestedEvaluations, kNestedTooDeeply);
  if (nested.depth() > 1 && paravelle::host::script::stack_left() < kStackForNestedEvaluation)
    throw RuntimeError(kNestedTooDeeply);
  paravelle::host::script::collect_if_due();
  Value* result = nullptr;
  {
    const paravelle::host::script::EvaluationAllocations evaluating;
    paravelle::host::script::Evaluator evaluator(program_);
    result = run_to_end(evaluator);
  }
  if (!result) result = &undefined;
  paravelle::host::script::keep_in_alloc_frame(result);
  return result;
}

void CodeTree::sprin1(CharStream* stream) { stream->puts(L"<CodeTree>"); }

Parser::Parser(CharStream* output) : Value(&Parser_class), output_(output) {}

CodeTree* Parser::compile_all(CharStream* source, MAXScript::ScriptSource /*kind*/) {
  if (!source) throw RuntimeError(L"compile_all: no source stream");
  std::wstring text;
  while (!source->at_eos()) text.push_back(source->getch());
  return new CodeTree(paravelle::host::script::parse_program(text));
}

void Parser::sprin1(CharStream* stream) { stream->puts(L"<Parser>"); }

void Parser::gc_trace() { gc_mark(output_); }

namespace paravelle::host::script {
namespace {

Value* evaluate_stream(CharStream& source) {
  Parser parser(thread_local_current_stdout());
  CodeTree* code = parser.compile_all(&source, MAXScript::ScriptSource::Dynamic);
  Rooted keep(code);
  return code->eval();
}

bool report(const MAXScriptException& error) {
  CharStream* listener = the_listener();
  listener->puts(printed(error).c_str());
  listener->putch(L'\n');
  return false;
}

}  // namespace

Value* evaluate_text(const std::wstring& text) {
  StringStream source(text);
  return evaluate_stream(source);
}

bool run_text(const std::wstring& text) {
  try {
    evaluate_text(text);
    return true;
  } catch (const MAXScriptException& error) {
    return report(error);
  }
}

bool run_file(const std::wstring& path) {
  try {
    FileStream file;
    if (!file.open(path.c_str(), L"r")) throw RuntimeError(L"Cannot open script file: " + path);
    evaluate_stream(file);
    return true;
  } catch (const MAXScriptException& error) {
    return report(error);
  }
}

std::wstring printed(Value* value) { return print_form(value); }

std::wstring printed(const MAXScriptException& error) {
  StringStream stream;
  error.sprin1(&stream);
  return stream.text();
}

}  // namespace paravelle::host::script
