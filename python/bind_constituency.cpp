#include "bindings.hpp"

#include <string>
#include <vector>

#include <velmora/constituency_tree.hpp>

#include "identity_hash.hpp"

namespace velmora::python {

void bind_constituency_tree(nb::module_& m) {
  using namespace nb::literals;
  nb::class_<ConstituencyTree>(m, "ConstituencyTree")
      .def(nb::init<std::string, std::vector<ConstituencyTree>>(), "label"_a,
           "children"_a = std::vector<ConstituencyTree>())
      .def_prop_ro("label", &ConstituencyTree::label)
      .def_prop_ro("children", &ConstituencyTree::children)
      .def("is_leaf", &ConstituencyTree::is_leaf)
      .def("is_preterminal", &ConstituencyTree::is_preterminal)
      .def("leaf_labels", &ConstituencyTree::leaf_labels)
      // The number of leaves below the node, not of its children.
      .def("__len__", [](const ConstituencyTree& tree) { return tree.leaf_labels().size(); })
      .def("__str__", &ConstituencyTree::to_string)
      .def("__repr__", &ConstituencyTree::to_string)
      .def("__eq__", [](const ConstituencyTree& tree,
                        const ConstituencyTree& other) { return tree.same_node(other); })
      .def("__hash__", [](const ConstituencyTree& tree) {
        return identity_hash(tree.node().get(), RowKind::kNode);
      });
}

} // namespace velmora::python
