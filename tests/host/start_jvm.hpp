#pragma once
// Starts a virtual machine in this process from its shared library.

#include <jni.h>

#include <dlfcn.h>

#include <string>
#include <vector>

// The starting thread's environment, or null when the machine cannot start.
inline JNIEnv* start_jvm(char const* library, std::vector<std::string> options, JavaVM** jvm) {
    void* lib = dlopen(library, RTLD_NOW | RTLD_GLOBAL);
    if (!lib)
        return nullptr;
    using create_fn = jint(JNICALL*)(JavaVM**, void**, void*);
    auto create = reinterpret_cast<create_fn>(dlsym(lib, "JNI_CreateJavaVM"));
    if (!create)
        return nullptr;
    std::vector<JavaVMOption> o;
    for (std::string& s : options)
        o.push_back({s.data(), nullptr});
    JavaVMInitArgs args{JNI_VERSION_10, static_cast<jint>(o.size()), o.data(), JNI_FALSE};
    JNIEnv* env = nullptr;
    return create(jvm, reinterpret_cast<void**>(&env), &args) == JNI_OK ? env : nullptr;
}
