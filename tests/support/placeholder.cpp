// shared test helpers live here
namespace paravelle::testing {}
