// placeholder until the worker library lands
namespace paravelle::worker {}
