package fr.belcour.quillet.io.tls.zpk;

import java.io.File;

/**
 * Reads a scan through the native library: instantiate, open, then getNextShot
 * until it returns null, closeConnexion, delete.
 */
public final class ZpkExtraction {
    public static final int EXPORT_REFLECTANCE = 2;
    public static final int EXPORT_DEVIATION = 3;
    public static final int EXPORT_AMPLITUDE = 4;
    public static final int EXPORT_TIME = 5;

    static {
        loadLibrary();
    }

    /** From -Dostrand.library=PATH, else OstrandLibrary.so on java.library.path. */
    private static void loadLibrary() {
        String path = System.getProperty("ostrand.library");
        if (path != null) {
            System.load(new File(path).getAbsolutePath());
            return;
        }
        for (String dir : System.getProperty("java.library.path", "").split(File.pathSeparator)) {
            File f = new File(dir.isEmpty() ? "." : dir, "OstrandLibrary.so");
            if (f.isFile()) {
                System.load(f.getAbsolutePath());
                return;
            }
        }
        throw new UnsatisfiedLinkError("OstrandLibrary.so not found: set -Dostrand.library or java.library.path");
    }

    public native long instantiate();
    /** 0 on success, -1 on failure. */
    public native int open(long handle, String uri, int[] exports);
    /** True while a shot is queued or the input has not ended (getNextShot may still give null at the end). */
    public native boolean hasShot(long handle);
    /** The next shot, or null at the end of the input. */
    public native Shot getNextShot(long handle);
    public native void closeConnexion(long handle);
    public native void delete(long handle);
    public native void afficherBonjour();
}
