// Real Python classes assembled from C++ functions: the namespace is filled with NativeFunctions
// (methods, classmethods, staticmethods, properties, abstract methods) and the class is created by
// calling its metaclass, so subclassing, isinstance against ABCs, __init_subclass__, abstract-method
// refusal and super() behave exactly as for a class statement.
#pragma once

#include "function.hpp"

namespace ql {

struct Builtins {
    nb::object classmethod, staticmethod, property, type, object, super, abc_meta, abstractmethod;
    Builtins() {
        nb::module_ b = nb::module_::import_("builtins");
        classmethod = b.attr("classmethod");
        staticmethod = b.attr("staticmethod");
        property = b.attr("property");
        type = b.attr("type");
        object = b.attr("object");
        super = b.attr("super");
        nb::module_ abc = nb::module_::import_("abc");
        abc_meta = abc.attr("ABCMeta");
        abstractmethod = abc.attr("abstractmethod");
    }
};

inline Builtins &builtins() {
    static Builtins &b = forever<Builtins>();
    return b;
}

class ClassBuilder {
  public:
    ClassBuilder(std::string module, std::string qualname, const char *doc = nullptr)
        : module_(std::move(module)), qualname_(std::move(qualname)) {
        ns_["__module__"] = nb::str(module_.c_str());
        ns_["__qualname__"] = nb::str(qualname_.c_str());
        if (doc)
            ns_["__doc__"] = nb::str(doc);
    }

    const std::string &module() const { return module_; }
    const std::string &qualname() const { return qualname_; }
    nb::dict &ns() { return ns_; }

    nb::object function(const char *name, std::vector<Param> params, Impl impl, bool is_async = false,
                        const char *doc = nullptr, nb::object annotations = nb::object()) {
        FnInfo info;
        info.name = name;
        info.qualname = qualname_ + "." + name;
        info.module = module_;
        info.doc = doc;
        info.is_async = is_async;
        info.annotations = std::move(annotations);
        return make_function(std::move(info), std::move(params), std::move(impl));
    }

    // Instance method; `params` starts with "self".
    ClassBuilder &method(const char *name, std::vector<Param> params, Impl impl, const char *doc = nullptr) {
        ns_[name] = function(name, std::move(params), std::move(impl), false, doc);
        return *this;
    }
    ClassBuilder &async_method(const char *name, std::vector<Param> params, Impl impl, const char *doc = nullptr) {
        ns_[name] = function(name, std::move(params), std::move(impl), true, doc);
        return *this;
    }
    ClassBuilder &abstract_method(const char *name, std::vector<Param> params, Impl impl, bool is_async = false,
                                  const char *doc = nullptr) {
        nb::object f = function(name, std::move(params), std::move(impl), is_async, doc);
        nb::setattr(f, "__isabstractmethod__", nb::bool_(true));
        ns_[name] = f;
        return *this;
    }
    // Class method; `params` starts with "cls".
    ClassBuilder &classmethod(const char *name, std::vector<Param> params, Impl impl, const char *doc = nullptr) {
        ns_[name] = builtins().classmethod(function(name, std::move(params), std::move(impl), false, doc));
        return *this;
    }
    ClassBuilder &staticmethod(const char *name, std::vector<Param> params, Impl impl, const char *doc = nullptr) {
        ns_[name] = builtins().staticmethod(function(name, std::move(params), std::move(impl), false, doc));
        return *this;
    }
    // Read-only property computed from self.
    ClassBuilder &property(const char *name, std::function<nb::object(nb::handle)> getter, const char *doc = nullptr) {
        nb::object f = function(name, {arg("self")}, [g = std::move(getter)](Args &a) { return g(a[0]); }, false, doc);
        ns_[name] = builtins().property(f);
        return *this;
    }
    ClassBuilder &attr(const char *name, nb::handle value) {
        ns_[name] = value;
        return *this;
    }

    // Create the class by calling the metaclass (type(bases[0]) when not given).
    nb::object build(nb::handle bases, nb::handle metaclass = nb::handle()) {
        std::string name = qualname_.substr(qualname_.rfind('.') + 1);
        nb::tuple b = nb::borrow<nb::tuple>(PyTuple_Check(bases.ptr()) ? nb::borrow(bases) : nb::make_tuple(bases));
        nb::handle meta = metaclass.is_valid() ? metaclass
                          : nb::len(b)          ? nb::handle((PyObject *)Py_TYPE(b[0].ptr()))
                                                : builtins().type;
        return meta(nb::str(name.c_str()), b, ns_);
    }

  private:
    std::string module_, qualname_;
    nb::dict ns_;
};

// An exception class `module.qualname` derived from `base`, with optional extra namespace entries.
inline nb::object make_exception(const std::string &module, const std::string &qualname, nb::handle base,
                                 const char *doc = nullptr) {
    ClassBuilder cb(module, qualname, doc);
    return cb.build(base);
}

// super(cls, obj).<name>
inline nb::object super_attr(nb::handle cls, nb::handle obj, const char *name) {
    return builtins().super(cls, obj).attr(name);
}

} // namespace ql
