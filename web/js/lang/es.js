// Textos en castellano rioplatense: de vos, cortos y llanos, como los
// mensajes del propio Launcher. "status" da los textos de progreso del
// Launcher por su formato ({0}, {1}… son el archivo, las cuentas o la
// versión tal como llegaron); "reasons", los motivos del inicio de sesión beta.
(function (ns) {
  'use strict';

  const lang = ns.lang = ns.lang || {};
  const plural = function (n, one, many) { return ns.i18n.number(n) + ' ' + (n === 1 ? one : many); };
  const size = function (bytes) { return ns.i18n.size(bytes); };
  const OFFLINE = {
    'Could not establish connection': 'no se pudo conectar',
    'Connection timed out': 'se agotó el tiempo de espera',
    'Failed to read connection': 'se cortó la conexión al leer',
    'Failed to write connection': 'se cortó la conexión al enviar'
  };

  lang.es = {
    name: 'Español',
    ui: {
      minimise: 'Minimizar',
      close: 'Cerrar',
      navigation: 'Launcher',
      website: 'Sitio web',
      patchNotes: 'Notas del parche',
      support: 'Soporte',
      contactingServer: 'Conectando con el servidor',
      serverOnline: 'Servidor en línea',
      serverOffline: 'Servidor sin conexión',
      betaBadge: 'Acceso a la beta',
      betaSignIn: 'Ingreso a la beta',
      settings: 'Opciones',
      news: 'Novedades',
      carousel: 'carrusel',
      heroLine: 'El páramo recuerda cada juramento.',
      newsSlides: 'Novedades: usá las flechas para recorrerlas',
      bannerAlt: 'Novedad {0} de {1}',
      showBanner: 'Mostrar la novedad {0}',
      previousBanner: 'Novedad anterior',
      nextBanner: 'Novedad siguiente',
      pauseNews: 'Pausar las novedades',
      resumeNews: 'Seguir pasando las novedades',
      realms: 'Reinos',
      waitingRealms: 'Esperando el estado de los reinos…',
      realmUpdated: 'Actualizado {0}',
      realmOnline: 'En línea',
      realmOffline: 'Caído',
      realmMaintenance: 'Mantenimiento',
      realmUnknown: 'Desconocido',
      unnamedRealm: 'Reino sin nombre',
      population: 'Población: {0}',
      players: function (n, shown) { return n === 1 ? shown + ' jugador' : shown + ' jugadores'; },
      more: '… y {0} más',
      noRealms: 'Ahora no hay reinos en la lista.',
      emptyRealmList: 'La lista de reinos está vacía.',
      noRealmInfo: 'No hay datos de los reinos.',
      customMap: 'Mapa propio',
      mapName: 'Nombre del mapa',
      mapPlaceholder: 'Nombre del mapa, p. ej. arena_01',
      enterMap: 'Entrar al mapa',
      spectate: 'Mirar',
      waitingServer: 'Esperando al servidor de actualizaciones…',
      serverUnreachable: 'No hay conexión con el servidor de actualizaciones. Buscá actualizaciones para volver a intentar.',
      version: 'Versión',
      nothingDownloaded: 'Nada para descargar',
      downloaded: function (n) { return plural(n, 'archivo descargado', 'archivos descargados'); },
      restartLauncher: 'Reiniciar el Launcher',
      pauseDownload: 'Pausar',
      resumeDownload: 'Reanudar',
      transferStart: function (total) { return 'Descargando ' + size(total); },
      transferOf: function (done, total) { return size(done) + ' de ' + size(total); },
      transferRate: function (rate) { return size(rate) + '/s'; },
      timeLeft: function (seconds) { return 'termina en aprox. ' + ns.i18n.duration(seconds); },
      seconds: '{0} s',
      minutes: '{0} min',
      hoursMinutes: '{0} h {1} min',
      checkUpdates: 'Buscar actualizaciones',
      repair: 'Reparar',
      gameClient: 'Cliente del juego',
      live: 'Estable',
      beta: 'Beta',
      betaLocked: 'Ingresá a la beta para desbloquearlo',
      betaUnlocked: 'Jugá con el cliente beta',
      play: 'Jugar',
      updating: 'Actualizando…',
      starting: 'Iniciando…',
      gameSettings: 'Opciones del juego',
      language: 'Idioma',
      displayMode: 'Modo de pantalla',
      windowed: 'Ventana',
      borderless: 'Sin bordes',
      fullscreen: 'Pantalla completa',
      vsync: 'Sincronización vertical',
      vsyncHint: 'Sigue la frecuencia del monitor para evitar cortes',
      unlockFps: 'Liberar los FPS',
      unlockFpsHint: 'Dibuja tantos cuadros como aguante la máquina',
      captureMouse: 'Capturar el mouse',
      captureMouseHint: 'El cursor no sale de la ventana del juego',
      downloadLimit: 'Límite de descarga',
      unlimited: 'Sin límite',
      megabytesPerSecond: function (n) { return ns.i18n.number(n) + ' MB/s'; },
      openLogFolder: 'Abrir la carpeta de registros',
      copyDiagnostics: 'Copiar el diagnóstico',
      diagnostics: 'Diagnóstico',
      diagnosticsCopied: 'Se copió el diagnóstico al portapapeles.',
      diagnosticsByHand: 'No se pudo copiar el diagnóstico al portapapeles. Está seleccionado acá abajo: copialo con Ctrl+C.',
      cancel: 'Cancelar',
      save: 'Guardar',
      betaIntro: 'Si tenés acceso a la beta, podés jugar el próximo cliente antes de que llegue a los reinos.',
      userName: 'Usuario',
      password: 'Contraseña',
      remember: 'Recordarme en esta computadora',
      forget: 'Olvidarme',
      signIn: 'Ingresar',
      signingIn: 'Ingresando…',
      signedIn: 'Listo, ya ingresaste. Elegí Beta al lado de Jugar para jugar con el cliente beta.',
      signInFailed: 'No se pudo ingresar.',
      betaTimeout: 'El servidor beta no responde. Probá de nuevo en un rato.',
      forgotten: 'Se borró el ingreso guardado en esta computadora.',
      repairTitle: '¿Reparar el juego?',
      repairText: 'Se revisa cada archivo del juego y se vuelve a bajar el que esté dañado o falte. Puede tardar varios minutos.',
      restartTitle: 'El Launcher se actualizó',
      restartText: 'Reiniciá el Launcher para terminar de instalar la actualización. Si lo reiniciás más tarde, se aplica la próxima vez que lo abras.',
      later: 'Más tarde',
      restartNow: 'Reiniciar ahora'
    },
    status: {
      checkingStart: 'Buscando actualizaciones...',
      offlineUntrusted: 'Sin conexión: el certificado del servidor no es de confianza.',
      offline: function (error) {
        return 'Sin conexión: ' + (Object.prototype.hasOwnProperty.call(OFFLINE, error) ? OFFLINE[error] : error);
      },
      signatureMissing: 'Actualización bloqueada: la firma del manifiesto falta o está dañada.',
      signatureInvalid: 'Actualización bloqueada: la firma del manifiesto NO es válida (alterada o de otra clave).',
      downgradeBlocked: 'Actualización bloqueada: el servidor ofreció la v{0}.{1}.{2}, más vieja que la v{3}.{4}.{5} instalada.',
      manifestInvalid: 'El servidor mandó un manifiesto no válido.',
      checking: 'Revisando {0} ({1}/{2})',
      upToDate: 'Todos los archivos están al día (v{0}.{1}.{2})',
      diskFull: function (needed, free) {
        return 'No hay lugar en el disco: hacen falta ' + ns.i18n.sizeText(needed) + ' y quedan ' + ns.i18n.sizeText(free) + ' libres.';
      },
      downloading: 'Descargando {0} ({1}/{2})',
      downloadPaused: 'Descarga en pausa.',
      downloadFailed: 'Falló la descarga. Revisá tu conexión.',
      verifyFailed: 'Falló la verificación de un archivo.',
      applying: 'Aplicando la actualización...',
      inUse: function (count, file) {
        return count === '1'
          ? '1 archivo estaba en uso y se termina de actualizar la próxima vez que abras el Launcher (p. ej. ' + file + ').'
          : count + ' archivos estaban en uso y se terminan de actualizar la próxima vez que abras el Launcher (p. ej. ' + file + ').';
      },
      updatedRestart: 'Actualizado a v{0}.{1}.{2} — reiniciá el Launcher para aplicarlo',
      updated: 'Actualizado a v{0}.{1}.{2}',
      updateFailed: 'Falló la actualización.'
    },
    reasons: {
      'Cannot reach beta server (offline?)': 'No hay conexión con el servidor beta (¿estás sin internet?)',
      "Beta server's certificate is not trusted": 'El certificado del servidor beta no es de confianza',
      'Beta server error': 'Error del servidor beta',
      'Invalid credentials': 'Usuario o contraseña incorrectos'
    }
  };
})(window.Keldmoor = window.Keldmoor || {});
