#pragma once

// Single instance holder. No lock: callers serialise creation and destruction.
template <typename T>
class CSingleton {
  public:
    virtual ~CSingleton() = default;

    static T* GetInstance() { return s_instance; }

    static T* CreateInstance() {
        if (s_instance == nullptr) {
            s_instance = new T;
        }
        return s_instance;
    }

    static void DestroyInstance() {
        if (s_instance == nullptr) {
            return;
        }
        CSingleton* doomed = s_instance;
        s_instance = nullptr;
        delete doomed;
    }

  protected:
    CSingleton() = default;
    CSingleton(const CSingleton&) = delete;
    CSingleton& operator=(const CSingleton&) = delete;

  private:
    static inline T* s_instance = nullptr;
};
