function [b, a] = demo_lowpass(n, fc, fs)
%DEMO_LOWPASS  A Butterworth low-pass of order n and cutoff fc (Hz) at rate fs, by the bilinear
%transform, without Octave's signal package. Used by the demos.
  wc = 2 * fs * tan(pi * fc / fs);                      % prewarped analog cutoff
  p = wc * exp(1i * pi * (2 * (1:n) + n - 1) / (2 * n));  % analog poles, left half plane
  z = (2 * fs + p) ./ (2 * fs - p);                     % digital poles
  a = real(poly(z));
  b = poly(-ones(1, n));                                % all zeros at Nyquist
  b = b * sum(a) / sum(b);                              % unit gain at 0 Hz
end
