package fr.belcour.quillet.io.tls.zpk;

/** One laser shot with up to seven echoes, in the scanner's own coordinates. */
public final class Shot {
    public final int nbEchos;
    /** Seconds, on the scanner's clock. */
    public final double time;
    /** Metres. */
    public final double xOrigin, yOrigin, zOrigin;
    /** Unit vector. */
    public final double xDirection, yDirection, zDirection;
    /** Metres along the beam, one per echo. */
    public final double[] ranges;
    /** Optional per-echo values; null unless asked for when the scan was opened. */
    public float[] reflectances;
    public float[] deviations;
    public float[] amplitudes;
    public double[] times;

    public Shot(int nbEchos, double time, double xOrigin, double yOrigin, double zOrigin,
                double xDirection, double yDirection, double zDirection, double[] ranges) {
        this.nbEchos = nbEchos;
        this.time = time;
        this.xOrigin = xOrigin;
        this.yOrigin = yOrigin;
        this.zOrigin = zOrigin;
        this.xDirection = xDirection;
        this.yDirection = yDirection;
        this.zDirection = zDirection;
        this.ranges = ranges;
    }

    public void setReflectances(float[] values) { reflectances = values; }
    public void setDeviations(float[] values) { deviations = values; }
    public void setAmplitudes(float[] values) { amplitudes = values; }
    public void setTimes(double[] values) { times = values; }

    /** The echo positions: origin + range * direction. */
    public double[][] points() {
        double[][] p = new double[nbEchos][];
        for (int i = 0; i < nbEchos; ++i)
            p[i] = new double[] {xOrigin + ranges[i] * xDirection, yOrigin + ranges[i] * yDirection,
                                 zOrigin + ranges[i] * zDirection};
        return p;
    }
}
