#pragma once
// The compiled form of a script: a tree of expressions. Each node evaluates itself
// (evaluator.cpp); nodes hold plain data, never script values, so compiled code needs no
// collection roots.

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/maxscript_runtime.h"

namespace paravelle::host::script {

class Evaluator;

// How deep a tree may grow. Evaluating and freeing a tree recurse once per level, so a
// deeper one (a chain of 300000 terms, say) would overflow the stack; it is refused as a
// syntax error when it is built instead.
constexpr std::size_t kMaximumTreeDepth = 10000;

struct Node {
  // `tree_depth` is 1 for a leaf and one more than the deepest child otherwise.
  explicit Node(int source_line, std::size_t tree_depth = 1);
  virtual ~Node() = default;
  virtual Value* eval(Evaluator& evaluator) const = 0;
  const int line;
  const std::size_t depth;
};

using NodePtr = std::unique_ptr<Node>;
using NodeList = std::vector<NodePtr>;

inline std::size_t depth_of(const NodePtr& node) { return node ? node->depth : 0; }

inline std::size_t depth_of(const NodeList& nodes) {
  std::size_t deepest = 0;
  for (const NodePtr& node : nodes) deepest = std::max(deepest, depth_of(node));
  return deepest;
}

// The depth of a node over these children.
template <class... Children>
std::size_t above(const Children&... children) {
  return 1 + std::max({std::size_t{0}, depth_of(children)...});
}

struct IntegerLiteral : Node {
  IntegerLiteral(int l, int v) : Node(l), value(v) {}
  Value* eval(Evaluator& e) const override;
  const int value;
};

struct FloatLiteral : Node {
  FloatLiteral(int l, double v) : Node(l), value(v) {}
  Value* eval(Evaluator& e) const override;
  const double value;
};

struct StringLiteral : Node {
  StringLiteral(int l, std::wstring v) : Node(l), value(std::move(v)) {}
  Value* eval(Evaluator& e) const override;
  const std::wstring value;
};

// true, false, ok, undefined: permanent values.
struct ConstantLiteral : Node {
  ConstantLiteral(int l, Value* v) : Node(l), value(v) {}
  Value* eval(Evaluator& e) const override;
  Value* const value;
};

struct ArrayLiteral : Node {
  ArrayLiteral(int l, NodeList items) : Node(l, above(items)), elements(std::move(items)) {}
  Value* eval(Evaluator& e) const override;
  const NodeList elements;
};

struct NameReference : Node {
  NameReference(int l, Name* n) : Node(l), name(n) {}
  Value* eval(Evaluator& e) const override;
  Name* const name;
};

// ( e1; e2 ... ): a scope for locals; its value is the last expression's.
struct Block : Node {
  Block(int l, NodeList body, bool top, bool scoped)
      : Node(l, above(body)), expressions(std::move(body)), top_level(top), has_scope(scoped) {}
  Value* eval(Evaluator& e) const override;
  const NodeList expressions;
  const bool top_level;  // an empty program gives OK, an empty block undefined
  const bool has_scope;  // it declares locals or functions of its own
};

enum class BinaryOperator {
  Add,
  Subtract,
  Multiply,
  Divide,
  Power,
  Equal,
  NotEqual,
  Less,
  LessEqual,
  Greater,
  GreaterEqual
};

// `x = v`, or with an operator `x += v` (the operator of +=, -=, *= or /=).
struct Assignment : Node {
  Assignment(int l, Name* n, NodePtr v, const BinaryOperator* o = nullptr)
      : Node(l, above(v)), name(n), value(std::move(v)), compound(o != nullptr), op(o ? *o : BinaryOperator::Add) {}
  Value* eval(Evaluator& e) const override;
  Name* const name;
  const NodePtr value;
  const bool compound;
  const BinaryOperator op;
};

struct PropertyAssignment : Node {
  PropertyAssignment(int l, NodePtr o, Name* p, NodePtr v, const BinaryOperator* c = nullptr)
      : Node(l, above(o, v)),
        object(std::move(o)),
        property(p),
        value(std::move(v)),
        compound(c != nullptr),
        op(c ? *c : BinaryOperator::Add) {}
  Value* eval(Evaluator& e) const override;
  const NodePtr object;
  Name* const property;
  const NodePtr value;
  const bool compound;
  const BinaryOperator op;
};

// a[i], 1-based.
struct Index : Node {
  Index(int l, NodePtr o, NodePtr i) : Node(l, above(o, i)), object(std::move(o)), index(std::move(i)) {}
  Value* eval(Evaluator& e) const override;
  NodePtr object;  // taken over when the parser finds an assignment to the element
  NodePtr index;
};

struct IndexAssignment : Node {
  IndexAssignment(int l, NodePtr o, NodePtr i, NodePtr v, const BinaryOperator* c = nullptr)
      : Node(l, above(o, i, v)),
        object(std::move(o)),
        index(std::move(i)),
        value(std::move(v)),
        compound(c != nullptr),
        op(c ? *c : BinaryOperator::Add) {}
  Value* eval(Evaluator& e) const override;
  const NodePtr object;
  const NodePtr index;
  const NodePtr value;
  const bool compound;
  const BinaryOperator op;
};

// local a = 1, b   /   global g = 2
struct Declaration : Node {
  using Entry = std::pair<Name*, NodePtr>;  // initial value may be null
  static std::size_t above_entries(const std::vector<Entry>& entries) {
    std::size_t deepest = 0;
    for (const auto& entry : entries) deepest = std::max(deepest, depth_of(entry.second));
    return deepest + 1;
  }
  Declaration(int l, std::vector<Entry> names, bool is_global)
      : Node(l, above_entries(names)), entries(std::move(names)), global(is_global) {}
  Value* eval(Evaluator& e) const override;
  const std::vector<Entry> entries;
  const bool global;
};

struct Binary : Node {
  Binary(int l, BinaryOperator o, NodePtr a, NodePtr b)
      : Node(l, above(a, b)), op(o), left(std::move(a)), right(std::move(b)) {}
  Value* eval(Evaluator& e) const override;
  const BinaryOperator op;
  const NodePtr left;
  const NodePtr right;
};

// and / or, evaluated left to right and only as far as needed.
struct Logical : Node {
  Logical(int l, bool is_and, NodePtr a, NodePtr b)
      : Node(l, above(a, b)), conjunction(is_and), left(std::move(a)), right(std::move(b)) {}
  Value* eval(Evaluator& e) const override;
  const bool conjunction;
  const NodePtr left;
  const NodePtr right;
};

struct Not : Node {
  Not(int l, NodePtr o) : Node(l, above(o)), operand(std::move(o)) {}
  Value* eval(Evaluator& e) const override;
  const NodePtr operand;
};

struct Negate : Node {
  Negate(int l, NodePtr o) : Node(l, above(o)), operand(std::move(o)) {}
  Value* eval(Evaluator& e) const override;
  const NodePtr operand;
};

struct Conversion : Node {
  Conversion(int l, NodePtr o, std::wstring type) : Node(l, above(o)), operand(std::move(o)), target(std::move(type)) {}
  Value* eval(Evaluator& e) const override;
  const NodePtr operand;
  const std::wstring target;  // as written: string, integer, float
};

struct PropertyRead : Node {
  PropertyRead(int l, NodePtr o, Name* p) : Node(l, above(o)), object(std::move(o)), property(p) {}
  Value* eval(Evaluator& e) const override;
  NodePtr object;  // taken over when the parser finds an assignment to the property
  Name* const property;
};

// A keyword argument or parameter, `quality:5`; the value may be null (a parameter
// without a default).
struct Keyword {
  Name* name;
  NodePtr value;
};
using KeywordList = std::vector<Keyword>;

inline std::size_t depth_of(const KeywordList& keywords) {
  std::size_t deepest = 0;
  for (const Keyword& keyword : keywords) deepest = std::max(deepest, depth_of(keyword.value));
  return deepest;
}

struct Call : Node {
  Call(int l, NodePtr f, NodeList args, KeywordList keys = {})
      : Node(l, above(f, args, keys)), callee(std::move(f)), arguments(std::move(args)), keywords(std::move(keys)) {}
  Value* eval(Evaluator& e) const override;
  const NodePtr callee;
  const NodeList arguments;
  const KeywordList keywords;
};

// fn name a b key:default = body. Defines `name` (a local inside a block or a function,
// else a global) and gives the function.
struct FunctionDefinition : Node {
  FunctionDefinition(int l, Name* n, std::vector<Name*> positional, KeywordList keys, NodePtr b, bool is_local)
      : Node(l, above(keys, b)),
        name(n),
        parameters(std::move(positional)),
        keywords(std::move(keys)),
        body(std::move(b)),
        local(is_local) {}
  Value* eval(Evaluator& e) const override;
  Name* const name;
  const std::vector<Name*> parameters;
  const KeywordList keywords;
  const NodePtr body;
  const bool local;
};

struct Return : Node {
  Return(int l, NodePtr v) : Node(l, above(v)), value(std::move(v)) {}
  Value* eval(Evaluator& e) const override;
  const NodePtr value;  // may be null: gives OK
};

struct If : Node {
  If(int l, NodePtr c, NodePtr t, NodePtr f)
      : Node(l, above(c, t, f)), condition(std::move(c)), then_branch(std::move(t)), else_branch(std::move(f)) {}
  Value* eval(Evaluator& e) const override;
  const NodePtr condition;
  const NodePtr then_branch;
  const NodePtr else_branch;  // may be null
};

// What every kind of for loop has after its source: `where` and `do` or `collect`.
struct LoopBody {
  NodePtr where;  // may be null
  NodePtr body;
  bool collect = false;
};

// for v = a to b [by s] ..., or with `in`: for v in collection ... (from is the
// collection, to and step are null).
struct For : Node {
  For(int l, Name* v, NodePtr a, NodePtr b, NodePtr s, LoopBody d)
      : Node(l, above(a, b, s, d.where, d.body)),
        variable(v),
        from(std::move(a)),
        to(std::move(b)),
        step(std::move(s)),
        where(std::move(d.where)),
        body(std::move(d.body)),
        collect(d.collect) {}
  Value* eval(Evaluator& e) const override;
  Name* const variable;
  const NodePtr from;
  const NodePtr to;     // null in a for ... in loop
  const NodePtr step;   // may be null
  const NodePtr where;  // may be null
  const NodePtr body;
  const bool collect;
};

// while c do body, or do body while c (`test_first` false).
struct While : Node {
  While(int l, NodePtr c, NodePtr b, bool first)
      : Node(l, above(c, b)), condition(std::move(c)), body(std::move(b)), test_first(first) {}
  Value* eval(Evaluator& e) const override;
  const NodePtr condition;
  const NodePtr body;
  const bool test_first;
};

// exit [with value] / continue: leave or skip the rest of the innermost loop's turn.
struct Exit : Node {
  Exit(int l, NodePtr v) : Node(l, above(v)), value(std::move(v)) {}
  Value* eval(Evaluator& e) const override;
  const NodePtr value;  // may be null
};

struct Continue : Node {
  explicit Continue(int l) : Node(l) {}
  Value* eval(Evaluator& e) const override;
};

struct Try : Node {
  Try(int l, NodePtr b, NodePtr h) : Node(l, above(b, h)), body(std::move(b)), handler(std::move(h)) {}
  Value* eval(Evaluator& e) const override;
  const NodePtr body;
  const NodePtr handler;
};

// throw message [value]; a bare throw inside a catch handler raises the caught error again.
struct Throw : Node {
  Throw(int l, NodePtr m, NodePtr v) : Node(l, above(m, v)), message(std::move(m)), value(std::move(v)) {}
  Value* eval(Evaluator& e) const override;
  const NodePtr message;  // may be null
  const NodePtr value;    // may be null
};

struct Program {
  NodePtr body;
};

}  // namespace paravelle::host::script
